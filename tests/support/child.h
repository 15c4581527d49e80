// Runs a program as a child process, as a user would, and collects what it printed.
#ifndef TESTS_SUPPORT_CHILD_H
#define TESTS_SUPPORT_CHILD_H

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

struct ChildResult {
    int exitStatus = -1;  // 0..255, or -1 when the child did not exit normally
    std::string out;
    std::string err;
};

// Runs `argv` in `directory` with the current environment plus `environment` (an empty value
// removes the variable); standard input is /dev/null.
ChildResult RunChild(const std::vector<std::string> &argv, const std::filesystem::path &directory,
                     const std::map<std::string, std::string> &environment);

std::string ReadFile(const std::filesystem::path &path);

// A fresh directory under the system's temporary directory, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    TempDir(TempDir &&) = delete;
    TempDir &operator=(TempDir &&) = delete;

    const std::filesystem::path &Path() const { return path_; }
    std::filesystem::path operator/(const std::string &name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

}  // namespace testsupport

#endif

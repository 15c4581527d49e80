// What the test programs share: scratch directories, child processes run as a user would run
// them, SoftHSM2 token stores, and the shim module's state.
#ifndef TESTS_SUPPORT_SUPPORT_H
#define TESTS_SUPPORT_SUPPORT_H

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "ckhelper.h"
#include "shim/p11shim.h"

namespace testsupport {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path &path);

// A fresh directory under the system's temporary directory, removed with all it holds.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    TempDir(TempDir &&) = delete;
    TempDir &operator=(TempDir &&) = delete;

    const fs::path path;
    fs::path operator/(const std::string &name) const { return path / name; }
};

struct ChildResult {
    int exitStatus = -1;  // -1 when killed
    int signal = 0;       // the signal that killed it
    std::string out;
    std::string err;
};

// Runs `argv` in `directory` with this environment plus `environment` (an empty value removes a
// variable); `inChild` runs in the child just before exec (limits, namespaces, credentials).
// `whileRunning`, when given, runs in the parent with the child's pid before it is waited for.
ChildResult RunChild(const std::vector<std::string> &argv, const fs::path &directory,
                     const std::map<std::string, std::string> &environment,
                     const std::function<void()> &inChild = {},
                     const std::function<void(int pid)> &whileRunning = {});

// Makes a SoftHSM2 token store in `store` with one token per label, all with user PIN 1234; the
// first is moved to slot 0. Returns the path of its softhsm2.conf.
std::string MakeTokens(const TempDir &store, const std::vector<std::string> &labels);

// The shim module this process's library is bound to.
p11shim::Control &Shim();

}  // namespace testsupport

#endif

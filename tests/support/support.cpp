#include "support.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace testsupport {
namespace {

// Every test program, and every program it starts, binds the shim unless told otherwise.
[[maybe_unused]] const int kBindShim = setenv("PKCS11_MODULE_PATH", P11SHIM_PATH, 0);

std::string MadeDirectory()
{
    std::string pattern = (fs::temp_directory_path() / "ckhelper.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    return pattern;
}

}  // namespace

std::string ReadFile(const fs::path &path)
{
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

TempDir::TempDir() : path(MadeDirectory())
{
}

TempDir::~TempDir()
{
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

ChildResult RunChild(const std::vector<std::string> &argv, const fs::path &directory,
                     const std::map<std::string, std::string> &environment,
                     const std::function<void()> &inChild,
                     const std::function<void(int pid)> &whileRunning)
{
    const TempDir capture;
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open((capture / "out").c_str(), O_WRONLY | O_CREAT, 0666);
        const int err = open((capture / "err").c_str(), O_WRONLY | O_CREAT, 0666);
        if (dup2(open("/dev/null", O_RDONLY), 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
            chdir(directory.c_str()) != 0)
            _exit(127);
        for (const auto &[name, value] : environment)
            value.empty() ? unsetenv(name.c_str()) : setenv(name.c_str(), value.c_str(), 1);
        if (inChild)
            inChild();
        std::vector<char *> args;
        for (const std::string &arg : argv)
            args.push_back(const_cast<char *>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    if (whileRunning)
        whileRunning(pid);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1,
            WIFSIGNALED(status) ? WTERMSIG(status) : 0, ReadFile(capture / "out"),
            ReadFile(capture / "err")};
}

std::string MakeTokens(const TempDir &store, const std::vector<std::string> &labels)
{
    std::vector<std::string> argv{"/bin/bash",
                                  SOURCE_DIR "/scripts/softhsm-token.sh",
                                  store.path.string(),
                                  labels.at(0),
                                  "1234",
                                  "12345678"};
    argv.insert(argv.end(), labels.begin() + 1, labels.end());
    const ChildResult made = RunChild(argv, store.path, {});
    if (made.exitStatus != 0)
        throw std::runtime_error("cannot make tokens: " + made.err);
    return (store / "softhsm2.conf").string();
}

p11shim::Control &Shim()
{
    static p11shim::Control *const control = [] {
        void *shim =
            ProviderFunctions() != nullptr ? dlopen(P11SHIM_PATH, RTLD_NOW | RTLD_NOLOAD) : nullptr;
        auto *get = reinterpret_cast<p11shim::Control *(*)()>(
            shim != nullptr ? dlsym(shim, "p11shim_control") : nullptr);
        if (get == nullptr)
            throw std::runtime_error("the library is not bound to the shim module");
        return get();
    }();
    return *control;
}

}  // namespace testsupport

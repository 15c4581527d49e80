#include "support.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "ckhelper.h"

namespace testsupport {
namespace {

// Every test program, and every program it starts, binds the shim unless told otherwise.
[[maybe_unused]] const int kBindShim = setenv("PKCS11_MODULE_PATH", P11SHIM_PATH, 0);

}  // namespace

std::string ReadFile(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "ckhelper.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

ChildResult RunChild(const std::vector<std::string> &argv, const std::filesystem::path &directory,
                     const std::map<std::string, std::string> &environment,
                     const std::function<void()> &inChild,
                     const std::function<void(int pid)> &whileRunning)
{
    const TempDir capture;
    const std::filesystem::path outPath = capture / "out";
    const std::filesystem::path errPath = capture / "err";
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT, 0666);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT, 0666);
        if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
            chdir(directory.c_str()) != 0) {
            _exit(127);
        }
        setenv("LSAN_OPTIONS", "suppressions=" LEAK_SUPPRESSIONS, 0);
        for (const auto &[name, value] : environment) {
            value.empty() ? unsetenv(name.c_str()) : setenv(name.c_str(), value.c_str(), 1);
        }
        if (inChild) {
            inChild();
        }
        std::vector<char *> args;
        for (const std::string &arg : argv) {
            args.push_back(const_cast<char *>(arg.c_str()));
        }
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    if (whileRunning) {
        whileRunning(pid);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1,
            WIFSIGNALED(status) ? WTERMSIG(status) : 0, ReadFile(outPath), ReadFile(errPath)};
}

std::string MakeTokens(const TempDir &store, const std::vector<std::string> &labels)
{
    const std::string conf = (store / "softhsm2.conf").string();
    for (std::size_t i = 0; i < labels.size(); ++i) {
        const ChildResult made =
            i == 0 ? RunChild({"/bin/bash", SOURCE_DIR "/scripts/softhsm-token.sh",
                               store.Path().string(), labels[0]},
                              store.Path(), {})
                   : RunChild({"/usr/bin/softhsm2-util", "--init-token", "--free", "--label",
                               labels[i], "--so-pin", "12345678", "--pin", "1234"},
                              store.Path(), {{"SOFTHSM2_CONF", conf}});
        if (made.exitStatus != 0) {
            throw std::runtime_error("cannot make token " + labels[i] + ": " + made.err);
        }
    }
    return conf;
}

p11shim::Control &Shim()
{
    void *module = ProviderFunctions() != nullptr
                       ? dlopen(ProviderModulePath(), RTLD_NOW | RTLD_NOLOAD)
                       : nullptr;
    auto *control = reinterpret_cast<p11shim::Control *(*)()>(
        module != nullptr ? dlsym(module, "p11shim_control") : nullptr);
    if (control == nullptr) {
        throw std::runtime_error("PKCS11_MODULE_PATH does not name the shim module");
    }
    dlclose(module);  // drops only the reference RTLD_NOLOAD took
    return *control();
}

}  // namespace testsupport

// Read by the sanitizer runtimes at start-up; unused in other builds.
extern "C" const char *__ubsan_default_options()  // NOLINT(bugprone-reserved-identifier)
{
    return "print_stacktrace=1:halt_on_error=1";
}

// Leaks inside SoftHSM2 itself, never the project's own code.
extern "C" const char *__lsan_default_suppressions()  // NOLINT(bugprone-reserved-identifier)
{
    return "leak:libsofthsm2.so\n";
}

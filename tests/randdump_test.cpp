// randdump run as users run it, on a SoftHSM2 token at slot 0 reached through the fault shim.
#include <fcntl.h>
#include <grp.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pty.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "support/support.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::TempDir;

constexpr std::uintmax_t kSampleSize = 52428800;
constexpr uid_t kNobody = 65534;
const std::string kBanner =
    "Sorvane $Revision: 1.1 $\nRandom data dump for PKCS#11 tokens, (c) Sorvane\n";
const std::string kOld = "an earlier sample that must survive a failed run\n";

void BecomeNobody()
{
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)
        _exit(126);
}

// As on a file system without unnamed files: open() with O_TMPFILE fails.
void DenyUnnamedFiles()
{
    std::array<sock_filter, 6> filter{{
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, O_TMPFILE & ~O_DIRECTORY, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    }};
    const sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        _exit(126);
}

[[maybe_unused]] void HideProc()
{
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/proc", "tmpfs", 0, nullptr) != 0)
        _exit(126);
}

std::string Digest(const std::string &bytes)
{
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "digest %016llx\n",
                  static_cast<unsigned long long>(p11shim::Digest(
                      p11shim::kDigestStart, reinterpret_cast<const unsigned char *>(bytes.data()),
                      bytes.size())));
    return text.data();
}

struct Options {
    std::string script{};                              // for the shim
    std::function<void(const fs::path &dir)> setUp{};  // in the test, before the run
    std::function<void()> inChild{};                   // in randdump's process, before exec
    std::function<void(int pid)> whileRunning{};
    std::vector<std::string> args{};
    std::string module = P11SHIM_PATH;
};

struct DumpRun {
    testsupport::ChildResult result;
    std::string calls{};   // the shim's log: the calls made, sessions left open, a digest
    std::string sample{};  // random_0.txt afterwards
    struct stat info {};
    std::set<std::string> files{};
};

class Randdump : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        store_ = std::make_unique<TempDir>();
        conf_ = testsupport::MakeTokens(*store_, {"randdump"});
        std::system(("chown -R nobody: " + store_->Path().string()).c_str());  // for runs as nobody
    }
    static void TearDownTestSuite() { store_.reset(); }

    // Runs randdump in a fresh directory that holds an old sample, as set up by `options`.
    DumpRun Dump(const Options &options)
    {
        const TempDir dir;
        chmod(logs_.Path().c_str(), 0777);
        if (options.setUp)
            options.setUp(dir.Path());
        if (!fs::exists(dir / "random_0.txt"))
            std::ofstream(dir / "random_0.txt") << kOld;
        std::vector<std::string> argv{RANDDUMP_PATH};
        argv.insert(argv.end(), options.args.begin(), options.args.end());
        const fs::path log = logs_ / "calls";
        fs::remove(log);
        DumpRun run{testsupport::RunChild(argv, dir.Path(),
                                          {{"PKCS11_MODULE_PATH", options.module},
                                           {"SOFTHSM2_CONF", conf_},
                                           {"P11SHIM", options.script + ";log=" + log.string()}},
                                          options.inChild, options.whileRunning),
                    ReadFile(log), ReadFile(dir / "random_0.txt")};
        stat((dir / "random_0.txt").c_str(), &run.info);
        for (const auto &entry : fs::directory_iterator(dir.Path()))  // files, and the target
            if (entry.is_regular_file() || entry.path().filename() == "random_0.txt")
                run.files.insert(entry.path().filename().string());
        umount2(dir.Path().c_str(), MNT_DETACH);
        return run;
    }

    static inline std::unique_ptr<TempDir> store_;
    static inline std::string conf_;
    TempDir logs_;
};

struct Case {
    std::string name;
    Options options;
    int status;
    std::string err;
    std::string out{};    // after the banner
    std::string calls{};  // how the shim's log of calls ends; "(none)": no log
    bool asRoot = false;  // mounts, other users
};

// What the cases below do before a run, in the test and in randdump's process.
void FullDisk(const fs::path &dir)
{
    ASSERT_EQ(mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=4m"), 0);
}
void OpenToAll(const fs::path &dir)
{
    chmod(dir.c_str(), 0777);
}
void ClosedToOthers(const fs::path &dir)
{
    chmod(dir.c_str(), 0755);
}
void ADirectory(const fs::path &dir)
{
    fs::create_directory(dir / "random_0.txt");
}
void WritableInStickyDirectory(const fs::path &dir)
{
    chmod(dir.c_str(), 01777);
    std::ofstream(dir / "random_0.txt") << kOld;
    chmod((dir / "random_0.txt").c_str(), 0666);
}
// ext2 reserves nothing in advance: the space is taken from under the run by a filler.
void Ext2(const fs::path &dir)
{
    const std::string image = dir.string() + ".img";
    fs::resize_file((std::ofstream(image), image), 64 << 20);
    ASSERT_EQ(
        std::system(
            ("mkfs.ext2 -q " + image + " && mount -o loop " + image + " " + dir.string()).c_str()),
        0);
    fs::remove(image);
}
void FileSizeLimit()
{
    const rlimit limit{10 << 20, RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &limit);
}

TEST_F(Randdump, EndsEachRunWithItsStatusAndMessageAndKeepsTheOldSampleUnlessItSucceeds)
{
    const std::string load = "Cannot load PKCS#11 module " P11SHIM_PATH ": ";
    const std::string write = "Cannot write random_0.txt: ";
    const std::string end = "C_CloseSession\nC_Finalize\n";
    const std::string early = "C_OpenSession\n" + end;
    const std::string incompatible = "Incompatible PKCS#11 version (0x5)\n";
    // clang-format off
    const std::vector<Case> cases{
        {"success", {}, 0, "", "", "C_Initialize\nC_GetInfo\nC_OpenSession\nC_GenerateRandom x51200\n" + end},
        {"version 3.0", {.script = "version=3.0"}, 255, "", incompatible, "C_GetInfo\n"},
        {"version 1.9", {.script = "version=1.9"}, 255, "", incompatible, "C_GetInfo\n"},
        {"no C_Initialize", {.script = "fail=Initialize@1:0x5"}, 255, "C_Initialize error 5, general error\n",
         "Incompatible PKCS#11 version (0x190)\n"},
        {"initialised before", {.script = "after=Initialize@1:0x191"}, 0,
         "C_Initialize error 191, cryptoki already initialized\n", "", end},
        {"no session", {.script = "fail=OpenSession@1:0xE1"}, 1, "", "", "C_GetInfo\nC_OpenSession\n"},
        {"no C_Finalize", {.script = "after=Finalize@1:0x80000999"}, 0,
         "C_Finalize error 80000999, vendor defined error (80000999)\n", "", end},
        {"first block", {.script = "fail=GenerateRandom@1:0x30"}, 4, "C_GenerateRandom error 30, device error\n",
         "", "C_OpenSession\nC_GenerateRandom\n" + end},
        {"last block", {.script = "fail=GenerateRandom@51200:0x30"}, 4, "C_GenerateRandom error 30, device error\n",
         "", "C_GenerateRandom x51200\n" + end},
        {"no module", {.module = "/nonexistent/libcryptoki.so"}, 2, "Cannot load PKCS#11 module /nonexistent/"
         "libcryptoki.so: /nonexistent/libcryptoki.so: cannot open shared object file: No such file or directory\n",
         "", "(none)"},
        {"an empty PKCS11_MODULE_PATH: the default", {.inChild = [] { setenv("PKCS11_MODULE_PATH", "", 1); }}, 0,
         "", "", "(none)"},
        {"no function list", {.script = "list=0x30"}, 2, load + "C_GetFunctionList error 30, device error\n"},
        {"null function list", {.script = "list=null"}, 2, load + "C_GetFunctionList gave no function list\n"},
        {"no C_GenerateRandom", {.script = "drop=GenerateRandom"}, 2, load + "its function list has no C_GenerateRandom\n"},
        {"no C_Finalize", {.script = "drop=Finalize"}, 2, load + "its function list has no C_Finalize\n"},
        {"a directory", {.setUp = ADirectory}, 3, write + "Is a directory\n", "", early},
        {"a file size limit", {.inChild = FileSizeLimit}, 3, write + "File too large\n", "", early},
        {"no unnamed files", {.inChild = DenyUnnamedFiles}, 0, "", "", end},
        {"a full disk", {.setUp = FullDisk}, 3, write + "No space left on device\n", "", early, true},
        {"a file size limit, nothing reserved", {.setUp = Ext2, .inChild = FileSizeLimit}, 3,
         write + "File too large\n", "", early, true},
        {"a file the user may not write", {.setUp = OpenToAll, .inChild = BecomeNobody}, 3,
         write + "Permission denied\n", "", early, true},
        {"a directory the user may not write", {.setUp = ClosedToOthers, .inChild = BecomeNobody}, 3,
         write + "Permission denied\n", "", early, true},
        {"another's file in a sticky directory", {.setUp = WritableInStickyDirectory, .inChild = BecomeNobody}, 3,
         write + "Permission denied\n", "", early, true},
        {"a disk that fills up mid-run", {.script = "run=GenerateRandom@20000:cat /dev/zero >lost+found/filler 2>/dev/null",
         .setUp = Ext2}, 3, write + "No space left on device\n", "", end, true},
#ifndef CKHELPER_SANITIZE  // the sanitizers' runtime itself needs /proc
        {"no /proc", {.inChild = HideProc}, 0, "", "", end, true},
#endif
    };
    // clang-format on
    for (const Case &c : cases) {
        if (c.asRoot && geteuid() != 0)
            continue;
        SCOPED_TRACE(c.name);
        const DumpRun run = Dump(c.options);
        EXPECT_EQ(run.result.exitStatus, c.status);
        EXPECT_EQ(run.result.out, kBanner + c.out);
        EXPECT_EQ(run.result.err, c.err);
        EXPECT_TRUE(c.calls == "(none)"
                        ? run.calls.empty()
                        : run.calls.find(c.calls + "open sessions 0\n") != std::string::npos)
            << run.calls;
        if (c.status == 0) {
            EXPECT_EQ(run.sample.size(), kSampleSize);
            EXPECT_TRUE(c.calls == "(none)" || run.calls.ends_with(Digest(run.sample)));
        } else {
            EXPECT_TRUE(run.sample == kOld || c.name == "a directory");
        }
        EXPECT_EQ(run.files, std::set<std::string>{"random_0.txt"});
    }
}

TEST_F(Randdump, GivesANewSampleThePlainCreatesModeAndAReplacedOneItsOwnerAndMode)
{
    const mode_t saved = umask(027);
    const DumpRun fresh =
        Dump({.setUp = [](const fs::path &dir) { fs::remove(dir / "random_0.txt"); }});
    umask(saved);
    EXPECT_EQ(fresh.info.st_mode & 07777, 0640U);
    if (geteuid() != 0)
        GTEST_SKIP() << "giving the old sample to another user needs root";
    const DumpRun replaced = Dump({.setUp = [](const fs::path &dir) {
        std::ofstream(dir / "random_0.txt") << kOld;
        chown((dir / "random_0.txt").c_str(), kNobody, kNobody);
        chmod((dir / "random_0.txt").c_str(), 0604);
    }});
    EXPECT_EQ(replaced.sample.size(), kSampleSize);
    EXPECT_EQ(replaced.info.st_mode & 07777, 0604U);
    EXPECT_EQ(replaced.info.st_uid + replaced.info.st_gid, 2 * kNobody);
}

TEST_F(Randdump, AnswersHelpAndVersionAndRefusesOtherArgumentsBeforeLoadingAnything)
{
    const DumpRun help = Dump({.args = {"--help"}, .module = "/nonexistent"});
    EXPECT_EQ(help.result.exitStatus, 0);
    EXPECT_TRUE(help.result.out.starts_with("Usage: randdump\n")) << help.result.out;
    for (const char *topic : {"random_0.txt", "PKCS11_MODULE_PATH", "255", "randdump(1)"})
        EXPECT_NE(help.result.out.find(topic), std::string::npos) << topic;
    EXPECT_EQ(Dump({.args = {"--version"}}).result.out, "randdump " CKHELPER_VERSION_TEXT "\n");
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"-x"}, {"--help", "extra"}, {"random_0.txt"}}) {
        const DumpRun run = Dump({.args = args, .module = "/nonexistent"});
        EXPECT_EQ(run.result.exitStatus, 64);
        EXPECT_EQ(run.result.out + run.sample, kOld);
        EXPECT_EQ(run.result.err,
                  "randdump: unexpected argument '" + args.back() + "'\nTry 'randdump --help'.\n");
    }
}

// A named temporary file goes with the signal that stops the run, which then ends the process.
TEST_F(Randdump, AStoppingSignalRemovesTheNamedTemporaryFile)
{
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        fs::path dir;
        const DumpRun run =
            Dump({.script = "slow=5",
                  .setUp = [&](const fs::path &where) { dir = where; },
                  .inChild = DenyUnnamedFiles,
                  .whileRunning =
                      [&](int pid) {
                          for (int i = 0;
                               i < 2000 && std::distance(fs::directory_iterator(dir), {}) < 2; ++i)
                              usleep(1000);
                          kill(pid, signal);
                      }});
        EXPECT_EQ(run.result.signal, signal);
        EXPECT_EQ(run.sample, kOld);
        EXPECT_EQ(run.files, std::set<std::string>{"random_0.txt"});
    }
}

// Exit 0 means the sample is on disk: the directory is flushed after the rename.
TEST_F(Randdump, FlushesTheDirectoryAfterTheRename)
{
    const TempDir dir;
    const fs::path trace = logs_ / "trace";
    const auto run = testsupport::RunChild(
        {"/usr/bin/strace", "-f", "-y", "-qq", "--seccomp-bpf", "-e", "trace=rename,fsync", "-o",
         trace.string(), RANDDUMP_PATH},
        dir.Path(), {{"SOFTHSM2_CONF", conf_}, {"ASAN_OPTIONS", "detect_leaks=0"}});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const std::string calls = ReadFile(trace);
    const std::size_t renamed = calls.find("rename(");
    ASSERT_NE(renamed, std::string::npos) << calls;
    EXPECT_NE(calls.find("fsync(", renamed), std::string::npos) << calls;
    EXPECT_NE(calls.find(fs::canonical(dir.Path()).string() + ">)", renamed), std::string::npos)
        << calls;
}

// Code chosen by the environment or the working directory is not run.
TEST_F(Randdump, LoadsNoCodeItsCallerOrWorkingDirectoryNames)
{
    for (const char *binary : {RANDDUMP_PATH, CKHELPER_LIBRARY_PATH}) {
        const TempDir scratch;
        ASSERT_EQ(std::system(
                      ("readelf -d " + std::string(binary) + " >" + (scratch / "dynamic").string())
                          .c_str()),
                  0);
        std::istringstream text(ReadFile(scratch / "dynamic"));
        for (std::string line; std::getline(text, line);) {
            const std::size_t list = line.find("path: [");
            std::istringstream elements(list == std::string::npos ? "" : line.substr(list + 7));
            for (std::string element; std::getline(elements, element, ':');)
                EXPECT_TRUE(element.starts_with("/") || element.starts_with("$ORIGIN"))
                    << binary << ": " << line;
        }
    }
    if (geteuid() != 0)
        GTEST_SKIP() << "a setuid copy needs root";
    // A setuid copy ignores PKCS11_MODULE_PATH and binds the built-in module.
    const TempDir copy;
    fs::copy(RANDDUMP_PATH, copy / "randdump");
    ASSERT_EQ(chmod((copy / "randdump").c_str(), 04755) | chmod(copy.Path().c_str(), 0755), 0);
    const auto run = testsupport::RunChild({(copy / "randdump").string()}, "/",
                                           {{"PKCS11_MODULE_PATH", "/nonexistent/module.so"},
                                            {"SOFTHSM2_CONF", "/nonexistent/softhsm2.conf"}},
                                           BecomeNobody);
    EXPECT_EQ(run.err.find("/nonexistent/module.so"), std::string::npos) << run.err;
    EXPECT_NE(run.exitStatus, 2);
}

// People watching on a terminal see a progress line; it is gone when the run ends.
TEST_F(Randdump, ShowsProgressOnlyOnATerminalAndErasesIt)
{
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    std::string screen;
    const DumpRun run =
        Dump({.script = "slow=3",
              .inChild = [&] { dup2(slave, 2); },
              .whileRunning =
                  [&](int) {
                      close(slave);
                      std::array<char, 4096> chunk{};
                      for (ssize_t got = 0; (got = read(master, chunk.data(), chunk.size())) > 0;)
                          screen.append(chunk.data(), static_cast<std::size_t>(got));
                  }});
    close(master);
    EXPECT_EQ(run.result.exitStatus, 0);
    EXPECT_NE(screen.find(" MiB/s"), std::string::npos) << screen;
    EXPECT_TRUE(screen.starts_with("\r") && screen.ends_with("\r\033[K")) << screen;
}

}  // namespace

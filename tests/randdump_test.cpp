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
const std::string kBanner =
    "Sorvane $Revision: 1.1 $\nRandom data dump for PKCS#11 tokens, (c) Sorvane\n";
const std::string kOld = "an earlier sample that must survive a failed run\n";

struct DumpRun {
    testsupport::ChildResult result;
    std::string calls;  // the shim's log: the calls made, sessions left open, a digest
};

struct Options {
    std::string script{};  // for the shim
    fs::path dir{};        // where it runs; the test's own directory when empty
    std::vector<std::string> args{};
    std::string module = P11SHIM_PATH;
    std::function<void()> inChild{};
    std::function<void(int pid)> whileRunning{};
};

class Randdump : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        store_ = std::make_unique<TempDir>();
        conf_ = testsupport::MakeTokens(*store_, {"randdump"});
        // Runs as another user read the token too.
        for (const auto &entry : fs::recursive_directory_iterator(store_->Path())) {
            chown(entry.path().c_str(), 65534, 65534);
        }
        chown(store_->Path().c_str(), 65534, 65534);
    }
    static void TearDownTestSuite() { store_.reset(); }
    void SetUp() override { chmod(logs_.Path().c_str(), 0777); }  // runs as another user log too

    DumpRun Dump(const Options &options)
    {
        std::vector<std::string> argv{RANDDUMP_PATH};
        argv.insert(argv.end(), options.args.begin(), options.args.end());
        const fs::path log = logs_ / "calls";
        fs::remove(log);
        DumpRun run;
        run.result = testsupport::RunChild(argv, options.dir.empty() ? work_.Path() : options.dir,
                                           {{"PKCS11_MODULE_PATH", options.module},
                                            {"SOFTHSM2_CONF", conf_},
                                            {"P11SHIM", options.script + ";log=" + log.string()}},
                                           options.inChild, options.whileRunning);
        run.calls = ReadFile(log);
        return run;
    }

    void WriteOld(mode_t mode = 0644) const
    {
        std::ofstream(work_ / "random_0.txt", std::ios::binary) << kOld;
        fs::permissions(work_ / "random_0.txt", static_cast<fs::perms>(mode));
    }
    std::set<std::string> Files(const fs::path &dir = {}) const
    {
        std::set<std::string> names;
        for (const auto &entry : fs::directory_iterator(dir.empty() ? work_.Path() : dir)) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }
    static std::string Digest(const fs::path &path)
    {
        const std::string bytes = ReadFile(path);
        std::array<char, 32> text{};
        std::snprintf(text.data(), text.size(), "digest %016llx\n",
                      static_cast<unsigned long long>(p11shim::Digest(
                          p11shim::kDigestStart,
                          reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size())));
        return text.data();
    }

    static inline std::unique_ptr<TempDir> store_;
    static inline std::string conf_;
    TempDir work_;
    TempDir logs_;
};

TEST_F(Randdump, WritesTheTokensBytesInOrderAndNothingElse)
{
    const mode_t saved = umask(027);
    const DumpRun run = Dump({});
    umask(saved);
    EXPECT_EQ(run.result.exitStatus, 0);
    EXPECT_EQ(run.result.out, kBanner);
    EXPECT_EQ(run.result.err, "");
    ASSERT_EQ(fs::file_size(work_ / "random_0.txt"), kSampleSize);
    EXPECT_EQ(run.calls,
              "C_Initialize\nC_GetInfo\nC_OpenSession\nC_GenerateRandom x51200\nC_CloseSession\n"
              "C_Finalize\nopen sessions 0\n" +
                  Digest(work_ / "random_0.txt"));
    EXPECT_EQ(Files(), std::set<std::string>{"random_0.txt"});
    struct stat info {};
    ASSERT_EQ(stat((work_ / "random_0.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640U);
}

struct Outcome {
    std::string script;
    int status;
    std::string out;  // after the banner
    std::string err;
    std::string calls;  // how the shim's call log ends, before "open sessions"
};

TEST_F(Randdump, EachFailingStageEndsWithItsStatusAndMessageAndKeepsTheOldSample)
{
    const std::string load = std::string("Cannot load PKCS#11 module ") + P11SHIM_PATH + ": ";
    const std::vector<Outcome> outcomes{
        {"version=3.0", 255, "Incompatible PKCS#11 version (0x5)\n", "", "C_GetInfo\n"},
        {"version=1.9", 255, "Incompatible PKCS#11 version (0x5)\n", "", "C_GetInfo\n"},
        {"fail=Initialize@1:0x5", 255, "Incompatible PKCS#11 version (0x190)\n",
         "C_Initialize error 5, general error\n", "C_GetInfo\n"},
        {"after=Initialize@1:0x191", 0, "",
         "C_Initialize error 191, cryptoki already initialized\n", "C_CloseSession\nC_Finalize\n"},
        {"fail=OpenSession@1:0xE1", 1, "", "", "C_GetInfo\nC_OpenSession\n"},
        {"after=Finalize@1:0x80000999", 0, "",
         "C_Finalize error 80000999, vendor defined error (80000999)\n",
         "C_GenerateRandom x51200\nC_CloseSession\nC_Finalize\n"},
        {"fail=GenerateRandom@1:0x30", 4, "", "C_GenerateRandom error 30, device error\n",
         "C_OpenSession\nC_GenerateRandom\nC_CloseSession\nC_Finalize\n"},
        {"fail=GenerateRandom@51200:0x30", 4, "", "C_GenerateRandom error 30, device error\n",
         "C_GenerateRandom x51200\nC_CloseSession\nC_Finalize\n"},
    };
    for (const Outcome &expected : outcomes) {
        SCOPED_TRACE(expected.script);
        WriteOld();
        const DumpRun run = Dump({.script = expected.script});
        EXPECT_EQ(run.result.exitStatus, expected.status);
        EXPECT_EQ(run.result.out, kBanner + expected.out);
        EXPECT_EQ(run.result.err, expected.err);
        const std::size_t end = run.calls.find("open sessions");
        ASSERT_NE(end, std::string::npos);
        EXPECT_TRUE(run.calls.substr(0, end).ends_with(expected.calls)) << run.calls;
        EXPECT_TRUE(run.calls.substr(end).starts_with("open sessions 0\n") ||
                    expected.status == 1 || expected.status == 255)
            << run.calls;
        if (expected.status == 0) {
            EXPECT_EQ(fs::file_size(work_ / "random_0.txt"), kSampleSize);
        } else {
            EXPECT_EQ(ReadFile(work_ / "random_0.txt"), kOld);
        }
        EXPECT_EQ(Files(), std::set<std::string>{"random_0.txt"});
    }
}

TEST_F(Randdump, AModuleThatCannotBeBoundIsNamedWithTheReason)
{
    const fs::path notAModule = logs_ / "not-a-module.so";
    std::ofstream(notAModule) << "plain text\n";
    for (const fs::path &module : {fs::path("/nonexistent/libcryptoki.so"), notAModule}) {
        const DumpRun run = Dump({.module = module.string()});
        EXPECT_EQ(run.result.exitStatus, 2);
        EXPECT_EQ(run.result.out, kBanner);
        EXPECT_TRUE(
            run.result.err.starts_with("Cannot load PKCS#11 module " + module.string() + ": "))
            << run.result.err;
        EXPECT_TRUE(Files().empty());
    }
}

constexpr uid_t kNobody = 65534;

void BecomeNobody()
{
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) {
        _exit(126);
    }
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
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        _exit(126);
    }
}

[[maybe_unused]] void HideProc()
{
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/proc", "tmpfs", 0, nullptr) != 0) {
        _exit(126);
    }
}

struct OutputCase {
    std::string name;
    std::function<void(const fs::path &dir)> setUp;  // in the test, before the run
    std::function<void()> inChild;
    std::string err;
};

class RanddumpAsRoot : public Randdump {
protected:
    void SetUp() override
    {
        if (geteuid() != 0) {
            GTEST_SKIP() << "mounts, other users and limits need root";
        }
        Randdump::SetUp();
    }
    static void Mount(const fs::path &dir, const std::string &options)
    {
        ASSERT_EQ(mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()), 0);
    }
};

TEST_F(RanddumpAsRoot, AnOutputThatCannotBeWrittenFailsBeforeAnyGenerationAndIsKept)
{
    const auto open = [](mode_t mode) {
        return [mode](const fs::path &dir) { ASSERT_EQ(chmod(dir.c_str(), mode), 0); };
    };
    const std::vector<OutputCase> cases{
        {"a directory",
         [](const fs::path &dir) { fs::create_directory(dir / "random_0.txt"); },
         {},
         "Is a directory"},
        {"a full disk",
         [](const fs::path &dir) { Mount(dir, "size=4m"); },
         {},
         "No space left on device"},
        {"a file size limit",
         {},
         [] {
             const rlimit limit{10 << 20, RLIM_INFINITY};
             setrlimit(RLIMIT_FSIZE, &limit);
         },
         "File too large"},
        {"a file the user may not write", open(0777), BecomeNobody, "Permission denied"},
        {"another's file in a sticky directory", open(01777), BecomeNobody, "Permission denied"},
        {"a directory the user may not write", open(0755), BecomeNobody, "Permission denied"},
    };
    for (const OutputCase &c : cases) {
        SCOPED_TRACE(c.name);
        const TempDir dir;
        if (c.setUp) {
            c.setUp(dir.Path());
        }
        if (!fs::exists(dir / "random_0.txt")) {
            std::ofstream(dir / "random_0.txt") << kOld;
            chmod((dir / "random_0.txt").c_str(),
                  c.name.find("sticky") != std::string::npos ? 0666 : 0644);
        }
        const DumpRun run = Dump({.dir = dir.Path(), .inChild = c.inChild});
        const std::set<std::string> files = Files(dir.Path());
        const bool kept =
            fs::is_directory(dir / "random_0.txt") || ReadFile(dir / "random_0.txt") == kOld;
        umount(dir.Path().c_str());
        EXPECT_EQ(run.result.exitStatus, 3);
        EXPECT_EQ(run.result.out, kBanner);
        EXPECT_EQ(run.result.err, "Cannot write random_0.txt: " + c.err + "\n");
        EXPECT_EQ(run.calls.find("C_GenerateRandom"), std::string::npos);
        EXPECT_NE(run.calls.find("C_Finalize\nopen sessions 0\n"), std::string::npos);
        EXPECT_TRUE(kept);
        EXPECT_EQ(files, std::set<std::string>{"random_0.txt"});
    }
}

// The disk fills up while the sample is written: the writer's error stops the run.
TEST_F(RanddumpAsRoot, ADiskThatFillsUpMidRunStopsItAndKeepsTheOldSample)
{
    const TempDir dir;
    const fs::path image = logs_ / "ext2.img";
    fs::resize_file((std::ofstream(image), image), std::uintmax_t{64} << 20);
    ASSERT_EQ(std::system(("mkfs.ext2 -q " + image.string()).c_str()), 0);
    // ext2 reserves no space in advance, so the space left is taken from under the run.
    ASSERT_EQ(std::system(("mount -o loop " + image.string() + " " + dir.Path().string()).c_str()),
              0);
    std::ofstream(dir / "random_0.txt") << kOld;
    const DumpRun run =
        Dump({.script = "run=GenerateRandom@20000:cat /dev/zero >filler 2>/dev/null",
              .dir = dir.Path()});
    fs::remove(dir / "filler");
    const std::set<std::string> files = Files(dir.Path());
    const std::string kept = ReadFile(dir / "random_0.txt");
    umount(dir.Path().c_str());
    EXPECT_EQ(run.result.exitStatus, 3);
    EXPECT_EQ(run.result.err, "Cannot write random_0.txt: No space left on device\n");
    EXPECT_NE(run.calls.find("C_CloseSession\nC_Finalize\nopen sessions 0\n"), std::string::npos);
    EXPECT_EQ(kept, kOld);
    EXPECT_EQ(files, (std::set<std::string>{"lost+found", "random_0.txt"}));
}

TEST_F(RanddumpAsRoot, AReplacedSampleKeepsItsOwnerAndMode)
{
    std::ofstream(work_ / "random_0.txt") << kOld;
    ASSERT_EQ(chown((work_ / "random_0.txt").c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(chmod((work_ / "random_0.txt").c_str(), 0604), 0);
    ASSERT_EQ(Dump({}).result.exitStatus, 0);
    struct stat info {};
    ASSERT_EQ(stat((work_ / "random_0.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_size, kSampleSize);
    EXPECT_EQ(info.st_mode & 07777, 0604U);
    EXPECT_EQ(info.st_uid, kNobody);
    EXPECT_EQ(info.st_gid, kNobody);
}

// Without /proc, and without unnamed files, the sample is still named and complete.
TEST_F(RanddumpAsRoot, WorksWithoutProcAndWithoutUnnamedFiles)
{
    std::vector<std::function<void()>> surroundings{DenyUnnamedFiles};
#ifndef CKHELPER_SANITIZE  // the sanitizers' runtime itself needs /proc
    surroundings.emplace_back(HideProc);
#endif
    for (const auto &inChild : surroundings) {
        WriteOld();
        const DumpRun run = Dump({.inChild = inChild});
        EXPECT_EQ(run.result.exitStatus, 0) << run.result.err;
        EXPECT_TRUE(run.calls.ends_with(Digest(work_ / "random_0.txt")));
        EXPECT_EQ(Files(), std::set<std::string>{"random_0.txt"});
    }
}

// A named temporary file goes with the signal that stops the run, which then ends the process.
TEST_F(Randdump, AStoppingSignalRemovesTheNamedTemporaryFile)
{
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(signal);
        WriteOld();
        const auto stop = [&](int pid) {
            for (int i = 0; i < 2000 && Files().size() < 2; ++i) {
                usleep(1000);
            }
            kill(pid, signal);
        };
        const DumpRun run =
            Dump({.script = "slow=5", .inChild = DenyUnnamedFiles, .whileRunning = stop});
        EXPECT_EQ(run.result.signal, signal);
        EXPECT_EQ(ReadFile(work_ / "random_0.txt"), kOld);
        EXPECT_EQ(Files(), std::set<std::string>{"random_0.txt"});
    }
}

// Exit 0 means the sample is on disk: the directory is flushed after the rename.
TEST_F(Randdump, FlushesTheDirectoryAfterTheRename)
{
    const fs::path trace = logs_ / "trace";
    const auto run = testsupport::RunChild(
        {"/usr/bin/strace", "-f", "-y", "-qq", "--seccomp-bpf", "-e", "trace=rename,fsync", "-o",
         trace.string(), RANDDUMP_PATH},
        work_.Path(), {{"SOFTHSM2_CONF", conf_}, {"ASAN_OPTIONS", "detect_leaks=0"}});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const std::string calls = ReadFile(trace);
    const std::size_t renamed = calls.find("rename(");
    ASSERT_NE(renamed, std::string::npos) << calls;
    EXPECT_NE(calls.find("fsync(", renamed), std::string::npos) << calls;
    const std::string directory = fs::canonical(work_.Path()).string();
    EXPECT_NE(calls.find("fsync(", renamed), std::string::npos) << calls;
    EXPECT_NE(calls.find(directory + ">)", renamed), std::string::npos) << calls;
}

// Code chosen by the environment or the working directory is not run.
TEST_F(RanddumpAsRoot, LoadsNoCodeItsCallerOrWorkingDirectoryNames)
{
    for (const char *binary : {RANDDUMP_PATH, CKHELPER_LIBRARY_PATH}) {
        std::unique_ptr<FILE, int (*)(FILE *)> dynamic(
            popen(("readelf -d " + std::string(binary)).c_str(), "r"), pclose);
        std::string text(1 << 16, '\0');
        text.resize(std::fread(text.data(), 1, text.size(), dynamic.get()));
        for (std::size_t at = text.find("path: ["); at != std::string::npos;
             at = text.find("path: [", at + 1)) {
            const std::string list = text.substr(at + 7, text.find(']', at) - at - 7);
            std::istringstream elements(list + ":");
            std::string element;
            while (std::getline(elements, element, ':')) {
                EXPECT_TRUE(element.starts_with("/") || element.starts_with("$ORIGIN"))
                    << binary << ": '" << element << "' in " << list;
            }
        }
    }
    // A setuid copy ignores PKCS11_MODULE_PATH and binds the built-in module.
    const TempDir copy;
    fs::copy(RANDDUMP_PATH, copy / "randdump");
    ASSERT_EQ(chmod((copy / "randdump").c_str(), 04755), 0);
    ASSERT_EQ(chmod(copy.Path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(work_.Path().c_str(), 0777), 0);
    const auto run = testsupport::RunChild({(copy / "randdump").string()}, work_.Path(),
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
    const auto run = testsupport::RunChild(
        {RANDDUMP_PATH}, work_.Path(), {{"SOFTHSM2_CONF", conf_}, {"P11SHIM", "slow=3"}},
        [&] { dup2(slave, 2); },
        [&](int) {
            close(slave);
            std::array<char, 4096> chunk{};
            ssize_t got = 0;
            while ((got = read(master, chunk.data(), chunk.size())) > 0) {  // EIO once it ends
                screen.append(chunk.data(), static_cast<std::size_t>(got));
            }
        });
    close(master);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_NE(screen.find(" MiB/s"), std::string::npos) << screen;
    EXPECT_TRUE(screen.starts_with("\r") && screen.ends_with("\r\033[K")) << screen;
    EXPECT_EQ(run.err, "");
}

}  // namespace

// randdump run as users run it, on a SoftHSM2 token at slot 0 reached through the fault shim.
#include <fcntl.h>
#include <pty.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
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
    }
    static void TearDownTestSuite() { store_.reset(); }

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

struct OutputCase {
    std::string name;
    std::function<void(const fs::path &dir)> setUp;  // in the test, before the run
    std::string err;
};

TEST_F(Randdump, AnOutputThatCannotBeWrittenFailsBeforeAnyGeneration)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "mounting small file systems needs root";
    }
    const std::vector<OutputCase> cases{
        {"a directory", [](const fs::path &dir) { fs::create_directory(dir / "random_0.txt"); },
         "Is a directory"},
        {"a full disk",
         [](const fs::path &dir) {
             ASSERT_EQ(mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=4m"), 0);
         },
         "No space left on device"},
    };
    for (const OutputCase &c : cases) {
        SCOPED_TRACE(c.name);
        const TempDir dir;
        c.setUp(dir.Path());
        if (!fs::exists(dir / "random_0.txt")) {
            std::ofstream(dir / "random_0.txt") << kOld;
        }
        const DumpRun run = Dump({.dir = dir.Path()});
        const std::set<std::string> files = Files(dir.Path());
        const bool kept =
            fs::is_directory(dir / "random_0.txt") || ReadFile(dir / "random_0.txt") == kOld;
        umount(dir.Path().c_str());
        EXPECT_EQ(run.result.exitStatus, 3);
        EXPECT_EQ(run.result.out, kBanner);
        EXPECT_EQ(run.result.err, "Cannot write random_0.txt: " + c.err + "\n");
        EXPECT_EQ(run.calls.find("C_GenerateRandom"), std::string::npos);
        EXPECT_NE(run.calls.find("C_CloseSession\nC_Finalize\nopen sessions 0\n"),
                  std::string::npos);
        EXPECT_TRUE(kept);
        EXPECT_EQ(files, std::set<std::string>{"random_0.txt"});
    }
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

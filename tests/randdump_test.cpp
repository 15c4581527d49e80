// randdump run as users run it, against the scriptable provider module.
#include <pty.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "fake/fakep11.h"
#include "support/child.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::RunChild;
using testsupport::TempDir;

constexpr std::uint64_t kSampleSize = 52428800;
const std::string kBanner =
    "Sorvane $Revision: 1.1 $\nRandom data dump for PKCS#11 tokens, (c) Sorvane\n";
const std::string kOld = "an earlier sample that must survive a failed run\n";

std::string ExpectedSample()
{
    std::string bytes(kSampleSize, '\0');
    for (std::uint64_t i = 0; i < kSampleSize; ++i) {
        bytes[i] = static_cast<char>(fakep11::StreamByte(i));
    }
    return bytes;
}

struct DumpRun {
    testsupport::ChildResult result;
    std::string calls;  // the provider's log
};

class RanddumpTest : public ::testing::Test {
protected:
    DumpRun RunRanddump(const std::string &script, const std::string &module = FAKEP11_PATH)
    {
        const fs::path log = logDir_ / "calls";
        DumpRun run;
        run.result = RunChild(
            {RANDDUMP_PATH}, work_.Path(),
            {{"PKCS11_MODULE_PATH", module}, {"FAKEP11", script + ";log=" + log.string()}});
        run.calls = ReadFile(log);
        return run;
    }

    void WriteExisting(const std::string &content) const
    {
        std::ofstream(work_ / "random_0.txt", std::ios::binary) << content;
    }

    std::set<std::string> Files() const
    {
        std::set<std::string> names;
        for (const auto &entry : fs::directory_iterator(work_.Path())) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }

    TempDir work_;
    TempDir logDir_;
};

TEST_F(RanddumpTest, WritesTheGeneratorBytesInOrderAndNothingElse)
{
    const DumpRun run = RunRanddump("");
    EXPECT_EQ(run.result.exitStatus, 0);
    EXPECT_EQ(run.result.out, kBanner);
    EXPECT_EQ(run.result.err, "");
    const std::string sample = ReadFile(work_ / "random_0.txt");
    ASSERT_EQ(sample.size(), kSampleSize);
    // The stream is rich in bytes a text-mode write would alter; they must pass unchanged.
    EXPECT_TRUE(sample == ExpectedSample()) << "sample differs from the generator's stream";
    EXPECT_EQ(
        run.calls,
        "C_Initialize\nC_GetInfo\nC_OpenSession(0, flags 6)\nC_GenerateRandom(1024) x51200\n"
        "C_CloseSession\nC_Finalize\nopen sessions at exit 0\nopen sessions at C_Finalize 0\n");
    EXPECT_EQ(Files(), std::set<std::string>{"random_0.txt"});
}

TEST_F(RanddumpTest, ReplacesAnExistingSampleWithPlainCreatePermissions)
{
    WriteExisting(std::string(kSampleSize + 4096, 'x'));
    const mode_t saved = umask(027);
    const DumpRun run = RunRanddump("");
    umask(saved);
    ASSERT_EQ(run.result.exitStatus, 0);
    EXPECT_EQ(fs::file_size(work_ / "random_0.txt"), kSampleSize);
    EXPECT_EQ(ReadFile(work_ / "random_0.txt").substr(0, 4096), ExpectedSample().substr(0, 4096));
    struct stat info {};
    ASSERT_EQ(stat((work_ / "random_0.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640U);
}

TEST_F(RanddumpTest, IncompatibleVersionStopsBeforeAnySession)
{
    for (const std::string version : {"3.0", "1.9", "0.0"}) {
        SCOPED_TRACE(version);
        const DumpRun run = RunRanddump("version=" + version);
        EXPECT_EQ(run.result.exitStatus, 255);
        EXPECT_EQ(run.result.out, kBanner + "Incompatible PKCS#11 version (0x5)\n");
        EXPECT_EQ(run.result.err, "");
        EXPECT_EQ(
            run.calls,
            "C_Initialize\nC_GetInfo\nopen sessions at exit 0\nopen sessions at C_Finalize -1\n");
        EXPECT_TRUE(Files().empty());
    }
}

TEST_F(RanddumpTest, MinorVersionDoesNotMatter)
{
    const DumpRun run = RunRanddump("version=2.1");
    EXPECT_EQ(run.result.exitStatus, 0);
}

TEST_F(RanddumpTest, FailedInitializeIsReportedAndTheVersionCheckStillRuns)
{
    const DumpRun run = RunRanddump("fail=Initialize@1:0x5");
    EXPECT_EQ(run.result.exitStatus, 255);
    EXPECT_EQ(run.result.err, "C_Initialize error 5, general error\n");
    // The module refuses C_GetInfo before it is initialised; that refusal is what is shown.
    EXPECT_EQ(run.result.out, kBanner + "Incompatible PKCS#11 version (0x190)\n");
    EXPECT_TRUE(Files().empty());
}

TEST_F(RanddumpTest, AlreadyInitializedIsReportedAndTheDumpCompletes)
{
    const DumpRun run = RunRanddump("fail=Initialize@1:0x191");
    EXPECT_EQ(run.result.exitStatus, 0);
    EXPECT_EQ(run.result.out, kBanner);
    EXPECT_EQ(run.result.err, "C_Initialize error 191, cryptoki already initialized\n");
    EXPECT_EQ(fs::file_size(work_ / "random_0.txt"), kSampleSize);
}

TEST_F(RanddumpTest, NoSessionOnSlotZeroEndsQuietlyWithStatusOne)
{
    WriteExisting(kOld);
    const DumpRun run = RunRanddump("fail=OpenSession@1:0xE1");
    EXPECT_EQ(run.result.exitStatus, 1);
    EXPECT_EQ(run.result.out, kBanner);
    EXPECT_EQ(run.result.err, "");
    EXPECT_EQ(ReadFile(work_ / "random_0.txt"), kOld);
    EXPECT_EQ(Files(), std::set<std::string>{"random_0.txt"});
    EXPECT_EQ(run.calls.find("\nC_Finalize\n"), std::string::npos);
}

TEST_F(RanddumpTest, FailedFinalizeIsReportedWithItsTextAndTheRunStillSucceeds)
{
    const DumpRun run = RunRanddump("fail=Finalize@1:0x80000999");
    EXPECT_EQ(run.result.exitStatus, 0);
    EXPECT_EQ(run.result.err, "C_Finalize error 80000999, vendor defined error (80000999)\n");
    EXPECT_EQ(fs::file_size(work_ / "random_0.txt"), kSampleSize);
}

TEST_F(RanddumpTest, FailedGenerationKeepsTheOldSampleAndShutsDownCleanly)
{
    for (const unsigned failingCall : {1U, 2U, 51200U}) {
        SCOPED_TRACE(failingCall);
        WriteExisting(kOld);
        const DumpRun run =
            RunRanddump("fail=GenerateRandom@" + std::to_string(failingCall) + ":0x30");
        EXPECT_EQ(run.result.exitStatus, 4);
        EXPECT_EQ(run.result.out, kBanner);
        EXPECT_EQ(run.result.err, "C_GenerateRandom error 30, device error\n");
        EXPECT_EQ(ReadFile(work_ / "random_0.txt"), kOld);
        EXPECT_EQ(Files(), std::set<std::string>{"random_0.txt"});
        const std::string generations =
            failingCall == 1 ? "C_GenerateRandom(1024)\n"
                             : "C_GenerateRandom(1024) x" + std::to_string(failingCall) + "\n";
        EXPECT_NE(run.calls.find(generations + "C_CloseSession\nC_Finalize\n"), std::string::npos)
            << run.calls;
        EXPECT_NE(run.calls.find("open sessions at C_Finalize 0\n"), std::string::npos);
    }
}

TEST_F(RanddumpTest, OutputThatIsADirectoryFailsBeforeDrawingAnything)
{
    fs::create_directory(work_ / "random_0.txt");
    const DumpRun run = RunRanddump("");
    EXPECT_EQ(run.result.exitStatus, 3);
    EXPECT_EQ(run.result.out, kBanner);
    EXPECT_EQ(run.result.err, "Cannot write random_0.txt: Is a directory\n");
    EXPECT_EQ(run.calls.find("C_GenerateRandom"), std::string::npos);
    EXPECT_NE(run.calls.find("C_CloseSession\nC_Finalize\n"), std::string::npos);
    EXPECT_TRUE(fs::is_directory(work_ / "random_0.txt"));
    EXPECT_EQ(Files(), std::set<std::string>{"random_0.txt"});
}

TEST_F(RanddumpTest, FullDiskKeepsTheOldSampleAndLeavesNoTemporaryFile)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "mounting a small file system needs root";
    }
    if (mount("tmpfs", work_.Path().c_str(), "tmpfs", 0, "size=4m") != 0) {
        GTEST_SKIP() << "cannot mount tmpfs here";
    }
    WriteExisting(kOld);
    const DumpRun run = RunRanddump("");
    const std::set<std::string> files = Files();
    const std::string kept = ReadFile(work_ / "random_0.txt");
    umount(work_.Path().c_str());

    EXPECT_EQ(run.result.exitStatus, 3);
    EXPECT_EQ(run.result.out, kBanner);
    EXPECT_EQ(run.result.err, "Cannot write random_0.txt: No space left on device\n");
    EXPECT_EQ(kept, kOld);
    EXPECT_EQ(files, std::set<std::string>{"random_0.txt"});
    EXPECT_NE(run.calls.find("C_CloseSession\nC_Finalize\n"), std::string::npos);
    EXPECT_NE(run.calls.find("open sessions at C_Finalize 0\n"), std::string::npos);
}

// People watching on a terminal see a progress line; it is gone when the run ends.
TEST_F(RanddumpTest, ProgressLineOnlyOnATerminalAndErasedAtTheEnd)
{
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(master);
        if (chdir(work_.Path().c_str()) != 0 || dup2(slave, 2) < 0 ||
            freopen("/dev/null", "w", stdout) == nullptr) {
            _exit(127);
        }
        setenv("PKCS11_MODULE_PATH", FAKEP11_PATH, 1);
        setenv("FAKEP11", "slow=3", 1);
        execl(RANDDUMP_PATH, RANDDUMP_PATH, nullptr);
        _exit(127);
    }
    close(slave);
    std::string screen;
    std::array<char, 4096> chunk{};
    ssize_t got = 0;
    while ((got = read(master, chunk.data(), chunk.size())) > 0) {  // EIO once the child is gone
        screen.append(chunk.data(), static_cast<std::size_t>(got));
    }
    close(master);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(screen.find("\r"), std::string::npos) << screen;
    EXPECT_NE(screen.find("MiB/s"), std::string::npos) << screen;
    EXPECT_NE(screen.find("%"), std::string::npos) << screen;
    EXPECT_TRUE(screen.ends_with("\r\033[K")) << screen;
    EXPECT_EQ(fs::file_size(work_ / "random_0.txt"), kSampleSize);
}

TEST_F(RanddumpTest, UnloadableModuleIsNamedWithTheLoadersReason)
{
    const fs::path notAModule = logDir_ / "not-a-module.so";
    std::ofstream(notAModule) << "plain text\n";
    for (const fs::path &module : {fs::path("/nonexistent/libcryptoki.so"), notAModule}) {
        SCOPED_TRACE(module);
        const DumpRun run = RunRanddump("", module.string());
        EXPECT_EQ(run.result.exitStatus, 2);
        EXPECT_EQ(run.result.out, kBanner);
        EXPECT_EQ(run.result.err.rfind("Cannot load PKCS#11 module " + module.string() + ": ", 0),
                  0U)
            << run.result.err;
        EXPECT_EQ(std::count(run.result.err.begin(), run.result.err.end(), '\n'), 1);
        EXPECT_TRUE(Files().empty());
    }
}

}  // namespace

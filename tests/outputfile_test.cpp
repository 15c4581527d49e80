// The output file on its own: what exists on disk at each step, and after each kind of failure.
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <span>
#include <vector>

#include "outputfile.h"
#include "support/child.h"

namespace {

namespace fs = std::filesystem;
using randdump::OutputFile;
using testsupport::ReadFile;
using testsupport::TempDir;

// Fills the next `size` bytes with `value`, as randdump fills each block.
bool Append(OutputFile &output, std::size_t size, unsigned char value)
{
    const std::span<std::byte> next = output.Next(size);
    std::fill(next.begin(), next.end(), std::byte{value});
    return next.size() == size;
}

std::size_t EntryCount(const fs::path &directory)
{
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(directory), {}));
}

TEST(OutputFile, NothingAppearsUntilCommitAndThenExactlyTheBytesWritten)
{
    const TempDir dir;
    std::ofstream(dir / "sample") << "old";
    {
        OutputFile output((dir / "sample").string());
        ASSERT_TRUE(output.Open()) << output.Reason();
        for (int i = 0; i < 600; ++i) {  // more than the write buffer, in odd pieces
            ASSERT_TRUE(Append(output, 4099, static_cast<unsigned char>(i)));
        }
        EXPECT_EQ(ReadFile(dir / "sample"), "old");
        EXPECT_EQ(EntryCount(dir.Path()), 1U);
        ASSERT_TRUE(output.Commit()) << output.Reason();
    }
    const std::string written = ReadFile(dir / "sample");
    ASSERT_EQ(written.size(), 600U * 4099);
    EXPECT_EQ(static_cast<unsigned char>(written[4099 * 7]), 7);
    EXPECT_EQ(static_cast<unsigned char>(written.back()), 599 % 256);
    EXPECT_EQ(EntryCount(dir.Path()), 1U);
}

TEST(OutputFile, RefusesAPieceLargerThanItsBuffer)
{
    const TempDir dir;
    OutputFile output((dir / "sample").string());
    ASSERT_TRUE(output.Open());
    EXPECT_TRUE(output.Next(std::size_t{64} << 20).empty());
}

TEST(OutputFile, AnUncommittedFileVanishes)
{
    const TempDir dir;
    {
        OutputFile output((dir / "sample").string());
        ASSERT_TRUE(output.Open());
        ASSERT_TRUE(output.Reserve(1 << 20));
        ASSERT_TRUE(Append(output, 100, 1));
    }
    EXPECT_EQ(EntryCount(dir.Path()), 0U);
}

TEST(OutputFile, AMissingDirectoryIsReported)
{
    const TempDir dir;
    OutputFile output((dir / "missing" / "sample").string());
    EXPECT_FALSE(output.Open());
    EXPECT_EQ(output.Reason(), "No such file or directory");
}

// Without a reservation the space runs out in the middle of the writes.
TEST(OutputFile, AFullDiskDuringWritesLeavesTheOldFileAndNoTrace)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "mounting a small file system needs root";
    }
    const TempDir dir;
    if (mount("tmpfs", dir.Path().c_str(), "tmpfs", 0, "size=1m") != 0) {
        GTEST_SKIP() << "cannot mount tmpfs here";
    }
    std::ofstream(dir / "sample") << "old";
    bool failed = false;
    std::string reason;
    {
        OutputFile output((dir / "sample").string());
        ASSERT_TRUE(output.Open());
        for (int i = 0; i < 64 && !failed; ++i) {
            failed = !Append(output, 64 * 1024, 0xAB);
        }
        failed = failed || !output.Commit();
        reason = output.Reason();
    }
    const std::string kept = ReadFile(dir / "sample");
    const std::size_t entries = EntryCount(dir.Path());
    umount(dir.Path().c_str());
    EXPECT_TRUE(failed);
    EXPECT_EQ(reason, "No space left on device");
    EXPECT_EQ(kept, "old");
    EXPECT_EQ(entries, 1U);
}

}  // namespace

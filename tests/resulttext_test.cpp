// Result code texts: what users read in every failure message.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "ckhelper.h"

namespace {

std::string ErrorString(CK_RV rv)
{
    std::array<char, 100> buffer{};
    EXPECT_EQ(GetErrorString(rv, buffer.data(), buffer.size()), CKR_OK);
    return buffer.data();
}

struct TextCase {
    CK_RV rv;
    const char *text;
};

void PrintTo(const TextCase &c, std::ostream *os)
{
    *os << std::hex << "0x" << c.rv;
}

class ErrorStringTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(ErrorStringTest, GivesTheTableTextOrTheFallbackWithTheCode)
{
    EXPECT_EQ(ErrorString(GetParam().rv), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ErrorStringTest,
    ::testing::Values(TextCase{0x0, "success"}, TextCase{0x191, "cryptoki already initialized"},
                      TextCase{0x80000100, "ferand error"},
                      // Codes no row holds: the fallback must carry the code itself.
                      TextCase{0x4, "undefined Error (4)"}, TextCase{0x51, "undefined Error (51)"},
                      TextCase{0x200, "undefined Error (200)"},
                      TextCase{0x80000999, "vendor defined error (80000999)"},
                      TextCase{0xFFFFFFFFFFFFFFFFUL, "vendor defined error (ffffffffffffffff)"},
                      // Unsorted rows: each of the two neighbours is found.
                      TextCase{0x32, "device removed"}, TextCase{0x31, "device memory"},
                      TextCase{
                          0x80002010,
                          "WLD_ERROR the internal cache for login information is inconsistent"}));

TEST(GetErrorString, CutsALongTextAndAlwaysTerminatesIt)
{
    std::array<char, 8> buffer{};
    buffer.fill('#');
    GetErrorString(0x191, buffer.data(), 6);
    EXPECT_EQ(std::string(buffer.data()), "crypt");
    EXPECT_EQ(buffer[6], '#') << "wrote past the size it was given";
}

TEST(GetErrorString, ZeroFillsTheRestAndWritesNothingForSizeZero)
{
    std::array<char, 32> buffer{};
    buffer.fill('#');
    GetErrorString(CKR_OK, buffer.data(), buffer.size());
    EXPECT_EQ(std::string(buffer.data()), "success");
    for (size_t i = std::strlen("success"); i < buffer.size(); ++i) {
        EXPECT_EQ(buffer[i], '\0') << i;
    }
    buffer.fill('#');
    EXPECT_EQ(GetErrorString(CKR_OK, buffer.data(), 0), CKR_OK);
    EXPECT_EQ(buffer[0], '#');
}

TEST(ResultNames, ConvertBothWaysWithOrWithoutTheExactPrefix)
{
    EXPECT_STREQ(ResultName(CKR_HOST_MEMORY), "host memory");
    EXPECT_EQ(ResultValue("CKR_host memory"), CKR_HOST_MEMORY);
    EXPECT_EQ(ResultValue("host memory"), CKR_HOST_MEMORY);
    EXPECT_EQ(ResultValue("ckr_success"), CKHELPER_NOT_FOUND);
    EXPECT_EQ(ResultValue("CKR_"), CKHELPER_NOT_FOUND);
    EXPECT_EQ(ResultValue("CK"), CKHELPER_NOT_FOUND);
    EXPECT_EQ(ResultValue("Host memory"), CKHELPER_NOT_FOUND);
    EXPECT_EQ(ResultValue(nullptr), CKHELPER_NOT_FOUND);
    EXPECT_EQ(CKHELPER_NOT_FOUND, 0xFFFFFFFFFFFFFFFFUL);
    // A trailing blank is part of the name.
    EXPECT_EQ(ResultValue("WLD_ERROR a WLD configuration has the slot description too long "),
              0x80002006UL);
    EXPECT_EQ(ResultValue("WLD_ERROR a WLD configuration has the slot description too long"),
              CKHELPER_NOT_FOUND);
}

TEST(LookupSearches, CountBoundsTheSearchAndFirstRowWins)
{
    const std::array<ConstNameEntry, 4> table{
        {{7, "seven"}, {8, "eight"}, {7, "again"}, {0, nullptr}}};
    EXPECT_STREQ(LookupName(7, table.data(), 3), "seven");
    EXPECT_STREQ(LookupName(8, table.data(), 1), "UNKNOWN");
    EXPECT_STREQ(LookupName(7, table.data(), 0), "UNKNOWN");
    EXPECT_STREQ(LookupName(7, table.data(), -1), "UNKNOWN");
    EXPECT_STREQ(LookupName(0x80000007, table.data(), 3), "Vendor defined");
    EXPECT_EQ(LookupValue("again", table.data(), 3), 7U);
    EXPECT_EQ(LookupValue("eight", table.data(), 1), CKHELPER_NOT_FOUND);
    EXPECT_EQ(LookupValue("eight", table.data(), -5), CKHELPER_NOT_FOUND);
    EXPECT_EQ(LookupValue("", table.data(), 4), CKHELPER_NOT_FOUND);
}

}  // namespace

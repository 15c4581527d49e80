// Constant names, result texts and the attribute template search: what users read in messages and
// what callers look up.
#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <map>
#include <string>

#include "ckhelper.h"
#include "constnames.h"

namespace {

// FNV-1a over "value<TAB>name<LF>" for each row: a changed, lost or reordered row shows.
std::uint64_t Fingerprint(std::span<const ConstNameEntry> rows)
{
    std::uint64_t hash = 0xcbf29ce484222325U;
    for (const ConstNameEntry &row : rows) {
        std::array<char, 32> value{};
        std::snprintf(value.data(), value.size(), "%lx", row.value);
        for (const char c : std::string(value.data()) + "\t" + row.name + "\n")
            hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3U;
    }
    return hash;
}

TEST(NameTables, HoldTheirRowsAndConvertEachBothWaysToItsFirstTwin)
{
    const std::map<std::string_view, std::tuple<std::size_t, std::string, std::uint64_t>> tables{
        {"result codes", {129, "CKR_", 0x2e082dbe328dcc60U}},
        {"object classes", {12, "CKO_", 0x7e0865c12606700dU}},
        {"key types", {23, "CKK_", 0x4880eff3f64a0fefU}},
        {"attribute types", {108, "CKA_", 0x37963d0b0c08f440U}},
        {"mechanisms", {199, "CKM_", 0x1c050eaadcc002ddU}},
        {"session states", {5, "CKM_", 0x5a215b0384e30d92U}}};
    for (const ckhelper::NameTable &table : ckhelper::NameTables()) {
        SCOPED_TRACE(table.title);
        const auto &[rows, prefix, fingerprint] = tables.at(table.title);
        EXPECT_EQ(table.rows.size(), rows);
        EXPECT_EQ(Fingerprint(table.rows), fingerprint);
        EXPECT_EQ(table.rows.data()[rows].name, nullptr);  // the terminating row
        std::string lowerPrefix = prefix;
        std::transform(prefix.begin(), prefix.end(), lowerPrefix.begin(), ::tolower);
        for (const ConstNameEntry &row : table.rows) {
            const std::string name = row.name;
            const auto firstOf = [&](auto same) {
                return *std::find_if(table.rows.begin(), table.rows.end(), same);
            };
            const ConstNameEntry byValue = firstOf([&](auto &r) { return r.value == row.value; });
            const CK_ULONG byName = firstOf([&](auto &r) { return r.name == name; }).value;
            EXPECT_STREQ(table.name(row.value), byValue.name);
            EXPECT_EQ(table.value(row.name), byName) << name;
            EXPECT_EQ(table.value((prefix + name).c_str()), byName) << name;
            EXPECT_EQ(table.value((lowerPrefix + name).c_str()), CKHELPER_NOT_FOUND) << name;
        }
        EXPECT_STREQ(table.name(0x7FFFFFF1), "UNKNOWN");
        EXPECT_STREQ(table.name(0x8FFFFFF1), "Vendor defined");
        EXPECT_EQ(table.value(prefix.c_str()), CKHELPER_NOT_FOUND);
        EXPECT_EQ(table.value(prefix.substr(0, 3).c_str()), CKHELPER_NOT_FOUND);
        EXPECT_EQ(table.value(nullptr), CKHELPER_NOT_FOUND);
    }
}

TEST(LookupSearches, StayWithinTheCountSkipRowsWithoutNameAndLetTheFirstRowWin)
{
    const std::array<ConstNameEntry, 5> table{
        {{7, "seven"}, {8, "eight"}, {7, "again"}, {9, nullptr}, {0, nullptr}}};
    EXPECT_STREQ(LookupName(7, table.data(), 3), "seven");
    EXPECT_STREQ(LookupName(8, table.data(), 1), "UNKNOWN");
    EXPECT_STREQ(LookupName(7, table.data(), -1), "UNKNOWN");
    EXPECT_STREQ(LookupName(9, table.data(), 5), "UNKNOWN");  // never null
    EXPECT_STREQ(LookupName(0x80000009, table.data(), 5), "Vendor defined");
    EXPECT_EQ(LookupValue("again", table.data(), 3), 7U);
    EXPECT_EQ(LookupValue("again", table.data(), 2), CKHELPER_NOT_FOUND);
    EXPECT_EQ(LookupValue("", table.data(), 5), CKHELPER_NOT_FOUND);
    EXPECT_EQ(LookupValue("seven", nullptr, 5), CKHELPER_NOT_FOUND);
}

// The table's text or a fallback with the code, cut to the size, terminated, the rest zeroed.
TEST(GetErrorString, GivesTheTextOrAFallbackCutToTheSizeAndZeroFilled)
{
    for (const auto &[rv, text] : std::map<CK_RV, std::string>{
             {0x0, "success"},
             {0x191, "cryptoki already initialized"},
             {0x31, "device memory"},
             {0x4, "undefined Error (4)"},
             {0x200, "undefined Error (200)"},
             {0x80000999, "vendor defined error (80000999)"},
             {0x80002006, "WLD_ERROR a WLD configuration has the slot description too long "}}) {
        std::array<char, 100> buffer{};
        EXPECT_EQ(GetErrorString(rv, buffer.data(), buffer.size()), CKR_OK);
        EXPECT_EQ(buffer.data(), text);
    }
    for (const auto &[rv, size, bytes] : std::vector<std::tuple<CK_RV, std::size_t, std::string>>{
             {0x191, 6, std::string("crypt\0#", 7)},
             {CKR_OK, 11, std::string("success\0\0\0\0#", 12)},
             {CKR_OK, 0, "#"}}) {
        std::string buffer(bytes.size(), '#');
        GetErrorString(rv, buffer.data(), size);
        EXPECT_EQ(buffer, bytes);
    }
}

TEST(FindAttr, FindsTheFirstEntryOfTheTypeWithinTheCount)
{
    std::array<CK_ATTRIBUTE, 4> attrs{{{CKA_CLASS, nullptr, 0},
                                       {CKA_LABEL, nullptr, 0},
                                       {CKA_TOKEN, nullptr, 0},
                                       {CKA_LABEL, nullptr, 0}}};
    AttrData data{attrs.data(), 3};
    EXPECT_EQ(FindAttr(CKA_LABEL, attrs.data(), 4), &attrs[1]);
    EXPECT_EQ(FindAttr(CKA_TOKEN, attrs.data(), 2), nullptr);
    EXPECT_EQ(FindAttr(CKHELPER_ANY_ATTRIBUTE, &attrs[1], 3), &attrs[1]);
    EXPECT_EQ(FindAttr(CKA_LABEL, nullptr, 0), nullptr);
    EXPECT_EQ(FindAttrInData(CKA_TOKEN, &data), &attrs[2]);
    EXPECT_EQ(FindAttrInData(CKA_VALUE, &data), nullptr);
    EXPECT_DEATH(FindAttr(CKA_LABEL, nullptr, 1), "findattr.*attr");
    EXPECT_DEATH(FindAttrInData(CKA_LABEL, nullptr), "findattr.*attrData");
}

}  // namespace

// The constant name tables, all six alike: every row reachable both ways, the fallbacks, and a
// fingerprint of each table's rows so that a changed, lost or reordered row shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <map>
#include <ostream>
#include <string>

#include "ckhelper.h"
#include "constnames.h"

namespace ckhelper {
void PrintTo(const NameTable &table, std::ostream *os)
{
    *os << table.title;
}
}  // namespace ckhelper

namespace {

using ckhelper::NameTable;

// FNV-1a over "value<TAB>name<LF>" for each row, the value in lower-case hexadecimal.
std::uint64_t Fingerprint(std::span<const ConstNameEntry> rows)
{
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const ConstNameEntry &row : rows) {
        char value[32];
        std::snprintf(value, sizeof value, "%lx", row.value);
        for (const char c : std::string(value) + "\t" + row.name + "\n") {
            hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
        }
    }
    return hash;
}

struct Expected {
    std::size_t rows;
    std::uint64_t fingerprint;
};

const std::map<std::string_view, Expected> kExpected{
    {"result codes", {129, 0x2e082dbe328dcc60ULL}},
    {"object classes", {12, 0x7e0865c12606700dULL}},
    {"key types", {23, 0x4880eff3f64a0fefULL}},
    {"attribute types", {108, 0x37963d0b0c08f440ULL}},
    {"mechanisms", {199, 0x1c050eaadcc002ddULL}},
    {"session states", {5, 0x5a215b0384e30d92ULL}},
};

class NameTableTest : public ::testing::TestWithParam<NameTable> {};

TEST_P(NameTableTest, HasItsRowsExactly)
{
    const NameTable &table = GetParam();
    ASSERT_EQ(kExpected.count(table.title), 1U);
    EXPECT_EQ(table.rows.size(), kExpected.at(table.title).rows);
    EXPECT_EQ(Fingerprint(table.rows), kExpected.at(table.title).fingerprint)
        << std::hex << "0x" << Fingerprint(table.rows);
    // The terminating row that C callers may walk to follows the last searchable row.
    EXPECT_EQ(table.rows.data()[table.rows.size()].name, nullptr);
}

TEST_P(NameTableTest, EveryRowConvertsBothWaysToItsFirstTwin)
{
    const NameTable &table = GetParam();
    for (const ConstNameEntry &row : table.rows) {
        const ConstNameEntry *firstWithValue = nullptr;
        const ConstNameEntry *firstWithName = nullptr;
        for (const ConstNameEntry &other : table.rows) {
            if (firstWithValue == nullptr && other.value == row.value) {
                firstWithValue = &other;
            }
            if (firstWithName == nullptr && std::string_view(other.name) == row.name) {
                firstWithName = &other;
            }
        }
        const std::string name = row.name;
        EXPECT_STREQ(table.name(row.value), firstWithValue->name) << name;
        EXPECT_EQ(table.value(row.name), firstWithName->value) << name;
        EXPECT_EQ(table.value((std::string(table.prefix) + name).c_str()), firstWithName->value)
            << name;
        // Only the exact, upper-case prefix is skipped.
        std::string lower(table.prefix);
        for (char &c : lower) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        EXPECT_EQ(table.value((lower + name).c_str()), CKHELPER_NOT_FOUND) << name;
        EXPECT_EQ(table.value(("CKX_" + name).c_str()), CKHELPER_NOT_FOUND) << name;
    }
}

TEST_P(NameTableTest, UnknownValuesAndNamesFallBack)
{
    const NameTable &table = GetParam();
    EXPECT_STREQ(table.name(0x7FFFFFF1), "UNKNOWN");
    EXPECT_STREQ(table.name(0x8FFFFFF1), "Vendor defined");
    EXPECT_STREQ(table.name(0xFFFFFFFFFFFFFFFFUL), "Vendor defined");
    EXPECT_EQ(table.value("NO SUCH NAME"), CKHELPER_NOT_FOUND);
    EXPECT_EQ(table.value(""), CKHELPER_NOT_FOUND);
    EXPECT_EQ(table.value(std::string(table.prefix).c_str()), CKHELPER_NOT_FOUND);
    EXPECT_EQ(table.value(nullptr), CKHELPER_NOT_FOUND);
}

INSTANTIATE_TEST_SUITE_P(AllTables, NameTableTest, ::testing::ValuesIn(ckhelper::NameTables()),
                         [](const ::testing::TestParamInfo<NameTable> &info) {
                             std::string name(info.param.title);
                             std::replace(name.begin(), name.end(), ' ', '_');
                             return name;
                         });

// The rows whose values are not what the standard's name would suggest.
TEST(NameTables, RowsThatDepartFromTheStandardKeepTheirOwnValues)
{
    EXPECT_STREQ(AttributeName(0x90), "UNKNOWN");  // the standard CHECK_VALUE
    EXPECT_STREQ(AttributeName(0x80000103), "CHECK_VALUE");
    EXPECT_EQ(AttributeValue("CKA_CHECK_VALUE"), 0x80000103UL);
    EXPECT_EQ(AttributeValue("SUB_PRIME_BITS"), 0x134UL);
    EXPECT_STREQ(KeyTypeName(0x18), "CAST128");
    EXPECT_EQ(KeyTypeValue("CAST5"), 0x18UL);
    EXPECT_STREQ(MechanismName(0x2001), "DH_PKCS_PARAMETER_GEN");
    EXPECT_EQ(MechanismValue("X9_42_DH_PKCS_PARAMETER_GEN"), 0x2001UL);
    EXPECT_EQ(MechanismValue("DES_OFB64"), 0x80000940UL);
    EXPECT_STREQ(MechanismName(0x150), "UNKNOWN");
    EXPECT_EQ(SessionStateValue("CKM_Read Only Public Session"), 0x0UL);
    EXPECT_EQ(SessionStateValue("CKS_Read Only Public Session"), CKHELPER_NOT_FOUND);
    EXPECT_STREQ(ObjectClassName(0x80000202), "CRL");
    EXPECT_STREQ(ObjectClassName(0x7), "UNKNOWN");
    EXPECT_EQ(AttributeValue("cka_LABEL"), CKHELPER_NOT_FOUND);
}

}  // namespace

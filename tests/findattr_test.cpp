// The attribute template search.
#include <gtest/gtest.h>

#include <array>

#include "ckhelper.h"

namespace {

std::array<CK_ATTRIBUTE, 4> Template()
{
    return {{{CKA_CLASS, nullptr, 0},
             {CKA_LABEL, nullptr, 0},
             {CKA_TOKEN, nullptr, 0},
             {CKA_LABEL, nullptr, 0}}};
}

TEST(FindAttr, ReturnsTheFirstEntryOfTheTypeWithinTheCount)
{
    auto attrs = Template();
    EXPECT_EQ(FindAttr(CKA_LABEL, attrs.data(), 4), &attrs[1]);
    EXPECT_EQ(FindAttr(CKA_TOKEN, attrs.data(), 4), &attrs[2]);
    EXPECT_EQ(FindAttr(CKA_TOKEN, attrs.data(), 2), nullptr);
    EXPECT_EQ(FindAttr(CKA_VALUE, attrs.data(), 4), nullptr);
    EXPECT_EQ(FindAttr(CKHELPER_ANY_ATTRIBUTE, attrs.data() + 1, 3), &attrs[1]);
}

TEST(FindAttr, ACountOfZeroFindsNothingEvenWithoutATemplate)
{
    EXPECT_EQ(FindAttr(CKA_LABEL, nullptr, 0), nullptr);
    EXPECT_EQ(FindAttr(CKHELPER_ANY_ATTRIBUTE, nullptr, 0), nullptr);
}

TEST(FindAttr, TheRecordFormSearchesTheSameEntries)
{
    auto attrs = Template();
    AttrData data{attrs.data(), 3};
    for (const CK_ATTRIBUTE_TYPE type :
         {CKA_CLASS, CKA_LABEL, CKA_TOKEN, CKA_VALUE, CKHELPER_ANY_ATTRIBUTE}) {
        EXPECT_EQ(FindAttrInData(type, &data), FindAttr(type, attrs.data(), 3)) << type;
    }
}

// Fill the entries through the pointer handed back, as the library's own templates are filled.
TEST(FindAttr, ThePointerFillsTheCallersTemplate)
{
    auto attrs = Template();
    CK_OBJECT_CLASS objectClass = CKO_DATA;
    CK_ATTRIBUTE *entry = FindAttr(CKA_CLASS, attrs.data(), attrs.size());
    ASSERT_NE(entry, nullptr);
    entry->pValue = &objectClass;
    entry->ulValueLen = sizeof objectClass;
    EXPECT_EQ(attrs[0].pValue, &objectClass);
}

using FindAttrDeathTest = ::testing::Test;

TEST_F(FindAttrDeathTest, ANullTemplateStopsTheProgramInEveryBuild)
{
    EXPECT_DEATH(FindAttr(CKA_LABEL, nullptr, 1), "findattr.*attr");
    EXPECT_DEATH(FindAttrInData(CKA_LABEL, nullptr), "findattr.*attrData");
    AttrData empty{nullptr, 2};
    EXPECT_DEATH(FindAttrInData(CKA_LABEL, &empty), "findattr.*attr");
}

}  // namespace

// Token and object lookup over the scriptable provider: how references are read, which token and
// object they name, and what the provider is asked.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <ostream>
#include <string>
#include <vector>

#include "ckhelper.h"
#include "support/fakestate.h"

namespace {

using fakep11::Call;

class LookupTest : public testsupport::FakeProviderTest {
protected:
    CK_OBJECT_HANDLE AddObject(CK_SLOT_ID slot, const std::string &label,
                               CK_OBJECT_CLASS objectClass = CKO_DATA)
    {
        const CK_OBJECT_HANDLE handle = fake_->nextObject++;
        fakep11::Object object;
        object.slot = slot;
        object.objectClass = objectClass;
        object.label = label;
        fake_->objects[handle] = object;
        return handle;
    }

    // The log lines of one kind of call.
    std::vector<std::string> Logged(const std::string &prefix) const
    {
        std::vector<std::string> lines;
        std::copy_if(fake_->log.begin(), fake_->log.end(), std::back_inserter(lines),
                     [&](const std::string &line) { return line.rfind(prefix, 0) == 0; });
        return lines;
    }
};

struct ReferenceCase {
    const char *reference;
    CK_RV rv;
    std::vector<std::string> logins;  // C_Login lines
    std::string searched;             // the C_FindObjectsInit line, empty when none
};

void PrintTo(const ReferenceCase &c, std::ostream *os)
{
    *os << '"' << c.reference << '"';
}

class ReferenceTest : public LookupTest, public ::testing::WithParamInterface<ReferenceCase> {};

TEST_P(ReferenceTest, IsReadAsTokenPinAndObjectLabel)
{
    const ReferenceCase &c = GetParam();
    fake_->tokens = {{0, "tok", "1234"}};
    for (const char *label : {"obj", "dir/obj", "34)/obj", ""}) {
        AddObject(0, label);
    }
    CK_SLOT_ID slot = 99;
    CK_SESSION_HANDLE hSession = 99;
    CK_OBJECT_HANDLE hObject = 99;
    EXPECT_EQ(OpenObjectByReference(c.reference, CKO_DATA, &slot, &hSession, &hObject), c.rv);
    EXPECT_EQ(Logged("C_Login"), c.logins);
    const std::vector<std::string> searches = Logged("C_FindObjectsInit");
    EXPECT_EQ(searches.empty() ? "" : searches.front(), c.searched);
    if (c.rv == CKR_OK) {
        EXPECT_EQ(slot, 0U);
        EXPECT_EQ(fake_->sessions.count(hSession), 1U);
        EXPECT_EQ(fake_->objects.count(hObject), 1U);
    } else {
        EXPECT_EQ(slot, 99U) << "out-parameter written on failure";
        EXPECT_EQ(hSession, 99U);
        EXPECT_EQ(hObject, 99U);
        EXPECT_TRUE(fake_->sessions.empty()) << "session left open after a failure";
    }
}

INSTANTIATE_TEST_SUITE_P(
    References, ReferenceTest,
    ::testing::Values(
        ReferenceCase{"tok(1234)/obj",
                      CKR_OK,
                      {"C_Login(1, '1234', 4)"},
                      "C_FindObjectsInit(class 0, label 'obj')"},
        ReferenceCase{"tok/obj", CKR_OK, {}, "C_FindObjectsInit(class 0, label 'obj')"},
        ReferenceCase{"tok()/obj", CKR_PIN_INCORRECT, {"C_Login(1, '', 0)"}, ""},
        // Without ")" the PIN runs to the slash.
        ReferenceCase{"tok(1234/obj",
                      CKR_OK,
                      {"C_Login(1, '1234', 4)"},
                      "C_FindObjectsInit(class 0, label 'obj')"},
        // A slash inside the parentheses splits there.
        ReferenceCase{"tok(12/34)/obj", CKR_PIN_INCORRECT, {"C_Login(1, '12', 2)"}, ""},
        ReferenceCase{"tok/34)/obj", CKR_OK, {}, "C_FindObjectsInit(class 0, label '34)/obj')"},
        ReferenceCase{"tok/dir/obj", CKR_OK, {}, "C_FindObjectsInit(class 0, label 'dir/obj')"},
        ReferenceCase{"tok(1234)ignored/obj",
                      CKR_OK,
                      {"C_Login(1, '1234', 4)"},
                      "C_FindObjectsInit(class 0, label 'obj')"},
        ReferenceCase{"tok/", CKR_OK, {}, "C_FindObjectsInit(class 0, label '')"},
        ReferenceCase{"tok   /obj", CKR_OK, {}, "C_FindObjectsInit(class 0, label 'obj')"},
        ReferenceCase{
            "tok/obj ", CKR_GENERAL_ERROR, {}, "C_FindObjectsInit(class 0, label 'obj ')"},
        ReferenceCase{" tok/obj", CKR_GENERAL_ERROR, {}, ""},
        ReferenceCase{"TOK/obj", CKR_GENERAL_ERROR, {}, ""},
        ReferenceCase{"tok(1234)", CKR_ARGUMENTS_BAD, {}, ""},
        ReferenceCase{"", CKR_ARGUMENTS_BAD, {}, ""}),
    [](const ::testing::TestParamInfo<ReferenceCase> &info) {
        return "case" + std::to_string(info.index);
    });

TEST_F(LookupTest, AReferenceWithoutSlashNeverReachesTheProvider)
{
    EXPECT_EQ(OpenObjectByReference("tok(1234)obj", CKO_DATA, nullptr, nullptr, nullptr),
              CKR_ARGUMENTS_BAD);
    EXPECT_EQ(OpenObjectByReference(nullptr, CKO_DATA, nullptr, nullptr, nullptr),
              CKR_ARGUMENTS_BAD);
    EXPECT_TRUE(fake_->log.empty());
}

TEST_F(LookupTest, WithoutASessionOutParameterNoSessionStaysOpen)
{
    fake_->tokens = {{0, "tok", "1234"}};
    const CK_OBJECT_HANDLE wanted = AddObject(0, "obj");
    CK_OBJECT_HANDLE hObject = 0;
    CK_SLOT_ID slot = 7;
    EXPECT_EQ(OpenObjectByReference("tok(1234)/obj", CKO_DATA, &slot, nullptr, &hObject), CKR_OK);
    EXPECT_EQ(hObject, wanted);
    EXPECT_EQ(slot, 0U);
    EXPECT_TRUE(fake_->sessions.empty());
    EXPECT_EQ(fake_->ActiveSearches(), 0U);
    EXPECT_EQ(OpenObjectByReference("tok/obj", CKO_DATA, nullptr, nullptr, nullptr), CKR_OK);
    EXPECT_TRUE(fake_->sessions.empty());
}

TEST_F(LookupTest, AnAlreadyLoggedInUserCountsAsLoggedIn)
{
    fake_->tokens = {{0, "tok", "1234"}};
    AddObject(0, "obj");
    fake_->loggedIn[0] = true;
    CK_SESSION_HANDLE hSession = 0;
    EXPECT_EQ(OpenObjectByReference("tok(wrong)/obj", CKO_DATA, nullptr, &hSession, nullptr),
              CKR_OK);
    EXPECT_EQ(fake_->sessions.size(), 1U);
}

TEST_F(LookupTest, TheObjectIsLookedForInTheReferencedTokensSlot)
{
    fake_->tokens = {{4, "first", "1"}, {9, "second", "2"}};
    AddObject(4, "obj");
    const CK_OBJECT_HANDLE wanted = AddObject(9, "obj");
    CK_OBJECT_HANDLE hObject = 0;
    CK_SLOT_ID slot = 0;
    EXPECT_EQ(OpenObjectByReference("second/obj", CKO_DATA, &slot, nullptr, &hObject), CKR_OK);
    EXPECT_EQ(slot, 9U);
    EXPECT_EQ(hObject, wanted);
    EXPECT_EQ(Logged("C_OpenSession"), std::vector<std::string>{"C_OpenSession(9, flags 6)"});
}

struct LabelCase {
    std::vector<std::string> tokens;  // labels, in slot-list order, slots 10, 11, ...
    std::string wanted;
    CK_RV rv;
    CK_SLOT_ID slot;  // when found
};

void PrintTo(const LabelCase &c, std::ostream *os)
{
    *os << "wanted \"" << c.wanted << '"';
}

class SlotLabelTest : public LookupTest, public ::testing::WithParamInterface<LabelCase> {};

TEST_P(SlotLabelTest, ComparesTrimmedLabelsOf32Bytes)
{
    const LabelCase &c = GetParam();
    fake_->tokens.clear();
    CK_SLOT_ID slot = 10;
    for (const std::string &label : c.tokens) {
        fake_->tokens.push_back({slot++, label, "1"});
    }
    CK_SLOT_ID found = 77;
    EXPECT_EQ(FindSlotByTokenLabel(c.wanted.c_str(), &found), c.rv);
    EXPECT_EQ(found, c.rv == CKR_OK ? c.slot : 77U);
}

const std::string k32 = "abcdefghijklmnopqrstuvwxyz012345";

INSTANTIATE_TEST_SUITE_P(Labels, SlotLabelTest,
                         ::testing::Values(LabelCase{{"a", "tok", "b"}, "tok", CKR_OK, 11},
                                           LabelCase{{"a", "tok"}, "tok    ", CKR_OK, 11},
                                           LabelCase{{"Tok"}, "tok", CKR_GENERAL_ERROR, 0},
                                           LabelCase{{" tok"}, "tok", CKR_GENERAL_ERROR, 0},
                                           LabelCase{{" tok"}, " tok", CKR_OK, 10},
                                           LabelCase{{"dup", "dup"}, "dup", CKR_OK, 10},
                                           LabelCase{{k32}, k32 + "EXTRA", CKR_OK, 10},
                                           LabelCase{{"    "}, " ", CKR_OK, 10},
                                           LabelCase{{"    "}, "", CKR_GENERAL_ERROR, 0},
                                           LabelCase{{""}, " ", CKR_OK, 10},
                                           LabelCase{{}, "tok", CKR_GENERAL_ERROR, 0}));

// AddressSanitizer's operator new aborts when memory runs out instead of throwing.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kNewThrows = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kNewThrows = false;
#else
constexpr bool kNewThrows = true;
#endif
#else
constexpr bool kNewThrows = true;
#endif

TEST_F(LookupTest, ASlotListTooLargeForMemoryIsReportedAsHostMemory)
{
    std::vector<CK_ULONG> claims{~CK_ULONG{0}};  // more than a vector can hold
    if (kNewThrows) {
        claims.push_back(CK_ULONG{1} << 40U);  // 8 TiB: the allocation itself fails
    }
    for (const CK_ULONG claimed : claims) {
        fake_->claimedSlotCount = claimed;
        CK_SLOT_ID slot = 77;
        EXPECT_EQ(FindSlotByTokenLabel("fake token", &slot), CKR_HOST_MEMORY) << claimed;
        EXPECT_EQ(slot, 77U);
    }
}

TEST(TrimTrailingSpaces, StripsTrailingBlanksWithinTheSizeButKeepsTheFirstCharacter)
{
    struct Case {
        std::string text;
        int size;
        std::string expected;
    };
    for (const Case &c : std::vector<Case>{{"abc  ", 5, "abc"},
                                           {"abc", 3, "abc"},
                                           {"   ", 3, " "},
                                           {" a ", 3, " a"},
                                           {"ab  cd", 4, "ab"},
                                           {"abc  ", 0, "abc  "},
                                           {"abc  ", -3, "abc  "},
                                           {"a\t ", 3, "a\t"},
                                           {"", 1, ""}}) {
        std::string buffer = c.text;
        TrimTrailingSpaces(buffer.data(), c.size);
        EXPECT_STREQ(buffer.c_str(), c.expected.c_str()) << '"' << c.text << "\" size " << c.size;
    }
    TrimTrailingSpaces(nullptr, 4);
}

TEST_F(LookupTest, FindObjectByLabelTakesTheFirstMatchOfTheClassAndEndsTheSearch)
{
    const CK_OBJECT_HANDLE key = AddObject(0, "same", CKO_SECRET_KEY);
    const CK_OBJECT_HANDLE first = AddObject(0, "same");
    AddObject(0, "same");
    CK_SESSION_HANDLE hSession = 0;
    ASSERT_EQ(
        ProviderFunctions()->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &hSession),
        CKR_OK);
    CK_OBJECT_HANDLE hObject = 0;
    EXPECT_EQ(FindObjectByLabel(hSession, CKO_DATA, "same", &hObject), CKR_OK);
    EXPECT_EQ(hObject, first);
    EXPECT_EQ(FindObjectByLabel(hSession, CKO_SECRET_KEY, "same", &hObject), CKR_OK);
    EXPECT_EQ(hObject, key);
    EXPECT_EQ(FindObjectByLabel(hSession, CKO_DATA, "other", &hObject), CKR_GENERAL_ERROR);
    EXPECT_EQ(fake_->ActiveSearches(), 0U);
    EXPECT_EQ(Logged("C_FindObjects(").front(), "C_FindObjects(1)");
}

}  // namespace

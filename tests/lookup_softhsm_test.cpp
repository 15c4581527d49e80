// Token and object lookup and the object helpers on a real token: SoftHSM2, in a token store made
// for the test.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <memory>
#include <string>

#include "ckhelper.h"
#include "support/child.h"

namespace {

using testsupport::TempDir;

const char *const kToken = "lookup token";
const std::string kValue = "twenty-four bytes value!";

class SoftHsmLookup : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        store_ = std::make_unique<TempDir>();
        const auto made =
            testsupport::RunChild({"/bin/bash", SOURCE_DIR "/scripts/softhsm-token.sh",
                                   store_->Path().string(), kToken, "1234"},
                                  store_->Path(), {});
        ASSERT_EQ(made.exitStatus, 0) << made.err;
        setenv("SOFTHSM2_CONF", (*store_ / "softhsm2.conf").c_str(), 1);
        p11_ = ProviderFunctions();
        ASSERT_NE(p11_, nullptr) << ProviderBindError();
        ASSERT_EQ(p11_->C_Initialize(nullptr), CKR_OK);
    }

    static void TearDownTestSuite()
    {
        if (p11_ != nullptr) {
            p11_->C_Finalize(nullptr);
        }
        store_.reset();
    }

    void SetUp() override { ASSERT_NE(p11_, nullptr); }

    static CK_SESSION_HANDLE OpenSession()
    {
        CK_SESSION_HANDLE hSession = CK_INVALID_HANDLE;
        EXPECT_EQ(p11_->C_OpenSession(0, CKF_RW_SESSION | CKF_SERIAL_SESSION, nullptr, nullptr,
                                      &hSession),
                  CKR_OK);
        return hSession;
    }

    // SoftHSM2 refuses a new search with CKR_OPERATION_ACTIVE while one is still going.
    static void ExpectNoActiveSearch(CK_SESSION_HANDLE hSession)
    {
        EXPECT_EQ(p11_->C_FindObjectsInit(hSession, nullptr, 0), CKR_OK);
        EXPECT_EQ(p11_->C_FindObjectsFinal(hSession), CKR_OK);
    }

    // A data object holding `value`, made directly: the library creates objects without one.
    static CK_OBJECT_HANDLE CreateWithValue(CK_SESSION_HANDLE hSession, std::string &value)
    {
        CK_OBJECT_CLASS objectClass = CKO_DATA;
        CK_BBOOL isToken = CK_FALSE;
        std::array<CK_ATTRIBUTE, 3> object{{{CKA_CLASS, &objectClass, sizeof objectClass},
                                            {CKA_TOKEN, &isToken, sizeof isToken},
                                            {CKA_VALUE, value.data(), value.size()}}};
        CK_OBJECT_HANDLE hObject = CK_INVALID_HANDLE;
        EXPECT_EQ(p11_->C_CreateObject(hSession, object.data(), object.size(), &hObject), CKR_OK);
        return hObject;
    }

    static inline std::unique_ptr<TempDir> store_;
    static inline CK_FUNCTION_LIST_PTR p11_ = nullptr;
};

TEST_F(SoftHsmLookup, FindsTheTokensSlotByItsTrimmedLabel)
{
    CK_SLOT_ID slot = 99;
    EXPECT_EQ(FindSlotByTokenLabel(kToken, &slot), CKR_OK);
    EXPECT_EQ(slot, 0U);
    slot = 99;
    EXPECT_EQ(FindSlotByTokenLabel("lookup token      ", &slot), CKR_OK);
    EXPECT_EQ(slot, 0U);
    slot = 99;
    EXPECT_EQ(FindSlotByTokenLabel("Lookup Token", &slot), CKR_GENERAL_ERROR);
    EXPECT_EQ(slot, 99U);
}

TEST_F(SoftHsmLookup, CreatesFindsRelabelsAndReadsBackObjects)
{
    const CK_SESSION_HANDLE hSession = OpenSession();
    CK_OBJECT_HANDLE hPublic = CK_INVALID_HANDLE;
    ASSERT_EQ(CreatePublicObject(hSession, CKO_DATA, "public data", &hPublic), CKR_OK);
    CK_OBJECT_HANDLE found = CK_INVALID_HANDLE;
    EXPECT_EQ(FindObjectByLabel(hSession, CKO_DATA, "public data", &found), CKR_OK);
    EXPECT_EQ(found, hPublic);
    ExpectNoActiveSearch(hSession);
    EXPECT_EQ(FindObjectByLabel(hSession, CKO_SECRET_KEY, "public data", &found),
              CKR_GENERAL_ERROR);
    ExpectNoActiveSearch(hSession);

    // A private object needs the user logged in: through a reference with the PIN.
    CK_OBJECT_HANDLE hPrivate = CK_INVALID_HANDLE;
    EXPECT_EQ(CreatePrivateObject(hSession, CKO_DATA, "private data", &hPrivate),
              CKR_USER_NOT_LOGGED_IN);
    CK_SLOT_ID slot = 99;
    CK_SESSION_HANDLE hUser = CK_INVALID_HANDLE;
    CK_OBJECT_HANDLE hViaReference = CK_INVALID_HANDLE;
    ASSERT_EQ(OpenObjectByReference("lookup token(1234)/public data", CKO_DATA, &slot, &hUser,
                                    &hViaReference),
              CKR_OK);
    EXPECT_EQ(slot, 0U);
    ExpectNoActiveSearch(hUser);
    ASSERT_EQ(CreatePrivateObject(hUser, CKO_DATA, "private data", &hPrivate), CKR_OK);
    CK_BBOOL isPrivate = CK_FALSE;
    EXPECT_EQ(GetObjectAttribute(hUser, hPrivate, CKA_PRIVATE, &isPrivate, 1, nullptr), CKR_OK);
    EXPECT_EQ(isPrivate, CK_TRUE);

    // SoftHSM2 fixes a data object's value when it is created; the refusal comes back unchanged.
    std::string value = kValue;
    CK_ULONG length = 0;
    EXPECT_EQ(SetObjectValue(hUser, hPrivate, value.data(), value.size(), &length),
              CKR_ATTRIBUTE_READ_ONLY);
    EXPECT_EQ(length, 24U);
    const CK_OBJECT_HANDLE hValued = CreateWithValue(hUser, value);
    length = 0;
    EXPECT_EQ(GetObjectValue(hUser, hValued, nullptr, 0, &length), CKR_OK);
    EXPECT_EQ(length, 24U);
    std::array<char, 16> small{};
    length = 0;
    EXPECT_EQ(GetObjectValue(hUser, hValued, small.data(), small.size(), &length),
              CKR_ATTRIBUTE_TYPE_INVALID);
    EXPECT_EQ(length, 24U);
    std::array<char, 32> large{};
    length = 0;
    EXPECT_EQ(GetObjectValue(hUser, hValued, large.data(), large.size(), &length), CKR_OK);
    EXPECT_EQ(length, 24U);
    EXPECT_EQ(std::string(large.data(), length), kValue);

    // A single attribute written and read back.
    std::string label = "a label of 24 characters";
    EXPECT_EQ(SetObjectAttribute(hUser, hPrivate, CKA_LABEL, label.data(), label.size()), CKR_OK);
    length = 0;
    EXPECT_EQ(GetObjectAttribute(hUser, hPrivate, CKA_LABEL, large.data(), large.size(), &length),
              CKR_OK);
    EXPECT_EQ(std::string(large.data(), length), label);

    EXPECT_EQ(RelabelObject(hUser, CKO_DATA, "public data", "renamed data"), CKR_OK);
    EXPECT_EQ(FindObjectByLabel(hUser, CKO_DATA, "renamed data", &found), CKR_OK);
    EXPECT_EQ(found, hPublic);
    EXPECT_EQ(FindObjectByLabel(hUser, CKO_DATA, "public data", &found), CKR_GENERAL_ERROR);
    EXPECT_EQ(RelabelObject(hUser, CKO_DATA, "public data", "again"), CKR_GENERAL_ERROR);
    ExpectNoActiveSearch(hUser);

    p11_->C_CloseSession(hUser);
    p11_->C_CloseSession(hSession);
}

TEST_F(SoftHsmLookup, AWrongPinIsPassedOnAndNoSessionIsLeftOpen)
{
    const CK_SESSION_HANDLE before = OpenSession();
    CK_SESSION_HANDLE hSession = 12345;
    EXPECT_EQ(
        OpenObjectByReference("lookup token(9999)/anything", CKO_DATA, nullptr, &hSession, nullptr),
        CKR_PIN_INCORRECT);
    EXPECT_EQ(hSession, 12345U);
    EXPECT_EQ(
        OpenObjectByReference("lookup token/no such object", CKO_DATA, nullptr, nullptr, nullptr),
        CKR_GENERAL_ERROR);
    // SoftHSM2 numbers sessions in order: the ones opened in between must be closed again.
    const CK_SESSION_HANDLE after = OpenSession();
    ASSERT_GT(after, before + 1);
    for (CK_SESSION_HANDLE h = before + 1; h < after; ++h) {
        CK_SESSION_INFO info{};
        EXPECT_EQ(p11_->C_GetSessionInfo(h, &info), CKR_SESSION_HANDLE_INVALID) << h;
    }
    p11_->C_CloseSession(after);
    p11_->C_CloseSession(before);
}

}  // namespace

// Object and attribute helpers over the scriptable provider: what they ask, what they store.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "ckhelper.h"
#include "support/fakestate.h"

namespace {

using fakep11::Call;

const std::string kValue = "twenty-four bytes value!";  // 24 bytes

class ObjectsTest : public testsupport::FakeProviderTest {
protected:
    void SetUp() override
    {
        FakeProviderTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        ASSERT_EQ(ProviderFunctions()->C_OpenSession(0, CKF_RW_SESSION | CKF_SERIAL_SESSION,
                                                     nullptr, nullptr, &hSession_),
                  CKR_OK);
        hObject_ = fake_->nextObject++;
        fakep11::Object object;
        object.label = "obj";
        object.value.assign(kValue.begin(), kValue.end());
        fake_->objects[hObject_] = object;
        fake_->ClearCalls();
    }

    CK_SESSION_HANDLE hSession_ = 0;
    CK_OBJECT_HANDLE hObject_ = 0;
};

TEST_F(ObjectsTest, ABufferLengthOfZeroOnlyAsksForTheLength)
{
    CK_ULONG length = 0;
    EXPECT_EQ(GetObjectAttribute(hSession_, hObject_, CKA_VALUE, nullptr, 0, &length), CKR_OK);
    EXPECT_EQ(length, 24U);
    EXPECT_EQ(fake_->Calls(Call::GetAttributeValue), 1U);
}

TEST_F(ObjectsTest, ATooSmallBufferIsRefusedAfterTheLengthIsStored)
{
    std::array<char, 16> buffer{};
    CK_ULONG length = 0;
    EXPECT_EQ(
        GetObjectAttribute(hSession_, hObject_, CKA_VALUE, buffer.data(), buffer.size(), &length),
        CKR_ATTRIBUTE_TYPE_INVALID);
    EXPECT_EQ(length, 24U);
    EXPECT_EQ(fake_->Calls(Call::GetAttributeValue), 1U);
    EXPECT_EQ(buffer, (std::array<char, 16>{}));
}

TEST_F(ObjectsTest, ALargeEnoughBufferReceivesTheValue)
{
    std::array<char, 32> buffer{};
    CK_ULONG length = 0;
    EXPECT_EQ(GetObjectValue(hSession_, hObject_, buffer.data(), buffer.size(), &length), CKR_OK);
    EXPECT_EQ(length, 24U);
    EXPECT_EQ(std::string(buffer.data(), length), kValue);
    EXPECT_EQ(buffer[24], '\0');
    EXPECT_EQ(fake_->log.back(), "C_GetAttributeValue(type 17 length 24)");
}

TEST_F(ObjectsTest, ARefusedLengthQueryLeavesTheCallersLength)
{
    fake_->objects[hObject_].sensitive = true;
    std::array<char, 64> buffer{};
    CK_ULONG length = 0;
    EXPECT_EQ(GetObjectValue(hSession_, hObject_, buffer.data(), buffer.size(), &length),
              CKR_ATTRIBUTE_SENSITIVE);
    EXPECT_EQ(length, 64U);
    CK_ULONG untouched = 5;
    EXPECT_EQ(GetObjectAttribute(hSession_, hObject_, CKA_VALUE, buffer.data(), buffer.size(),
                                 &untouched),
              CKR_ATTRIBUTE_SENSITIVE);
    EXPECT_EQ(untouched, 5U);
}

TEST_F(ObjectsTest, SetObjectValueStoresTheLengthWhateverTheResult)
{
    std::string value = "new";
    CK_ULONG length = 0;
    EXPECT_EQ(SetObjectValue(hSession_, hObject_, value.data(), value.size(), &length), CKR_OK);
    EXPECT_EQ(length, 3U);
    EXPECT_EQ(
        std::string(fake_->objects[hObject_].value.begin(), fake_->objects[hObject_].value.end()),
        "new");
    fake_->Fail(Call::SetAttributeValue, 0, CKR_ATTRIBUTE_READ_ONLY);
    length = 0;
    EXPECT_EQ(SetObjectValue(hSession_, hObject_, value.data(), 2, &length),
              CKR_ATTRIBUTE_READ_ONLY);
    EXPECT_EQ(length, 2U);
    EXPECT_EQ(SetObjectValue(hSession_, hObject_, value.data(), 2, nullptr),
              CKR_ATTRIBUTE_READ_ONLY);
}

TEST_F(ObjectsTest, CreatedObjectsAreLabelledTokenObjectsPrivateOrNot)
{
    CK_OBJECT_HANDLE hPublic = 0;
    EXPECT_EQ(CreatePublicObject(hSession_, CKO_DATA, "abcde", &hPublic), CKR_OK);
    EXPECT_EQ(fake_->log.back(),
              "C_CreateObject(class 0, label 'abcde', token true, private false)");
    fake_->loggedIn[0] = true;
    CK_OBJECT_HANDLE hPrivate = 0;
    EXPECT_EQ(CreatePrivateObject(hSession_, CKO_SECRET_KEY, "k", &hPrivate), CKR_OK);
    EXPECT_EQ(fake_->log.back(), "C_CreateObject(class 4, label 'k', token true, private true)");
    EXPECT_NE(hPublic, hPrivate);
    EXPECT_TRUE(fake_->objects.at(hPrivate).isPrivate);
    EXPECT_FALSE(fake_->objects.at(hPublic).isPrivate);
    EXPECT_EQ(CreatePublicObject(hSession_, CKO_DATA, nullptr, &hPublic), CKR_ARGUMENTS_BAD);
}

TEST_F(ObjectsTest, RelabelChangesTheFirstMatchOnly)
{
    const CK_OBJECT_HANDLE second = fake_->nextObject++;
    fake_->objects[second] = fake_->objects[hObject_];
    EXPECT_EQ(RelabelObject(hSession_, CKO_DATA, "obj", "renamed"), CKR_OK);
    EXPECT_EQ(fake_->objects[hObject_].label, "renamed");
    EXPECT_EQ(fake_->objects[second].label, "obj");
    fake_->ClearCalls();
    EXPECT_EQ(RelabelObject(hSession_, CKO_DATA, "missing", "x"), CKR_GENERAL_ERROR);
    EXPECT_EQ(fake_->Calls(Call::SetAttributeValue), 0U);
    EXPECT_EQ(fake_->ActiveSearches(), 0U);
}

}  // namespace

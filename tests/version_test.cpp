// The version check against the scriptable provider module, loaded in this process.
#include <gtest/gtest.h>

#include "ckhelper.h"
#include "support/fakestate.h"

namespace {

using CheckCryptokiVersionTest = testsupport::FakeProviderTest;

TEST_F(CheckCryptokiVersionTest, AcceptsAnyMinorOfMajorTwo)
{
    for (const CK_BYTE minor : {0, 1, 20, 40, 255}) {
        fake_->version = {2, minor};
        EXPECT_EQ(CheckCryptokiVersion(2), CKR_OK) << int{minor};
    }
}

TEST_F(CheckCryptokiVersionTest, RejectsOtherMajorsAsGeneralError)
{
    for (const CK_BYTE major : {0, 1, 3, 255}) {
        fake_->version = {major, 0};
        EXPECT_EQ(CheckCryptokiVersion(2), CKR_GENERAL_ERROR) << int{major};
    }
}

TEST_F(CheckCryptokiVersionTest, UnsupportedRequiredMajorNeverReachesTheProvider)
{
    fake_->version = {3, 0};
    for (const int required : {3, 0, -1, 2 + 256}) {
        EXPECT_EQ(CheckCryptokiVersion(required), CKR_GENERAL_ERROR) << required;
    }
    EXPECT_EQ(fake_->Calls(fakep11::Call::GetInfo), 0U);
}

TEST_F(CheckCryptokiVersionTest, PassesGetInfoFailureOnUnchanged)
{
    fake_->lenient = false;
    EXPECT_EQ(CheckCryptokiVersion(2), CKR_CRYPTOKI_NOT_INITIALIZED);
    fake_->Fail(fakep11::Call::GetInfo, 0, CKR_DEVICE_ERROR);
    EXPECT_EQ(CheckCryptokiVersion(2), CKR_DEVICE_ERROR);
}

}  // namespace

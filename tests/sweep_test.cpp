// Every provider call that each library function makes is failed in turn, with several codes:
// the code must come back unchanged (or as the function documents), and no session or search may
// be left open that the caller did not ask for.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "ckhelper.h"
#include "support/fakestate.h"

namespace {

using fakep11::Call;

struct Context {
    CK_SESSION_HANDLE hSession = 0;  // opened by the test before the call
    CK_OBJECT_HANDLE hObject = 0;    // "obj" in slot 0
    CK_SESSION_HANDLE returned = 0;  // a session handed to the caller
};

struct Scenario {
    const char *name;
    bool handsOutSession;
    std::function<CK_RV(Context &)> run;
};

constexpr std::array<CK_RV, 5> kCodes{CKR_GENERAL_ERROR, CKR_DEVICE_ERROR,
                                      CKR_SESSION_HANDLE_INVALID, CKR_USER_ALREADY_LOGGED_IN,
                                      0x80000999UL};

const std::vector<Scenario> &Scenarios()
{
    static const std::vector<Scenario> scenarios{
        {"CheckCryptokiVersion", false, [](Context &) { return CheckCryptokiVersion(2); }},
        {"FindSlotByTokenLabel", false,
         [](Context &) {
             CK_SLOT_ID slot = 0;
             return FindSlotByTokenLabel("tok", &slot);
         }},
        {"FindObjectByLabel", false,
         [](Context &c) {
             CK_OBJECT_HANDLE h = 0;
             return FindObjectByLabel(c.hSession, CKO_DATA, "obj", &h);
         }},
        {"OpenObjectByReference keeping the session", true,
         [](Context &c) {
             CK_SLOT_ID slot = 0;
             CK_OBJECT_HANDLE h = 0;
             return OpenObjectByReference("tok(1234)/obj", CKO_DATA, &slot, &c.returned, &h);
         }},
        {"OpenObjectByReference closing the session", false,
         [](Context &) {
             CK_OBJECT_HANDLE h = 0;
             return OpenObjectByReference("tok(1234)/obj", CKO_DATA, nullptr, nullptr, &h);
         }},
        {"CreatePublicObject", false,
         [](Context &c) {
             CK_OBJECT_HANDLE h = 0;
             return CreatePublicObject(c.hSession, CKO_DATA, "new", &h);
         }},
        {"CreatePrivateObject", false,
         [](Context &c) {
             CK_OBJECT_HANDLE h = 0;
             return CreatePrivateObject(c.hSession, CKO_DATA, "new", &h);
         }},
        {"RelabelObject", false,
         [](Context &c) { return RelabelObject(c.hSession, CKO_DATA, "obj", "renamed"); }},
        {"GetObjectAttribute", false,
         [](Context &c) {
             std::array<char, 64> buffer{};
             CK_ULONG length = 0;
             return GetObjectAttribute(c.hSession, c.hObject, CKA_LABEL, buffer.data(),
                                       buffer.size(), &length);
         }},
        {"GetObjectValue", false,
         [](Context &c) {
             std::array<char, 64> buffer{};
             CK_ULONG length = 0;
             return GetObjectValue(c.hSession, c.hObject, buffer.data(), buffer.size(), &length);
         }},
        {"SetObjectAttribute", false,
         [](Context &c) {
             std::string label = "x";
             return SetObjectAttribute(c.hSession, c.hObject, CKA_LABEL, label.data(), 1);
         }},
        {"SetObjectValue", false,
         [](Context &c) {
             std::string value = "abc";
             CK_ULONG length = 0;
             return SetObjectValue(c.hSession, c.hObject, value.data(), 3, &length);
         }},
    };
    return scenarios;
}

void PrintTo(const Scenario &scenario, std::ostream *os)
{
    *os << scenario.name;
}

class FailureSweep : public ::testing::TestWithParam<Scenario> {
protected:
    void SetUp() override
    {
        fake_ = testsupport::FakeState();
        ASSERT_NE(fake_, nullptr);
    }

    // A fresh module: the wanted token second in the slot list, one object, one open session.
    Context Prepare()
    {
        fake_->Reset();
        fake_->lenient = true;
        fake_->tokens = {{3, "other", "0000"}, {0, "tok", "1234"}};
        Context context;
        context.hObject = fake_->nextObject++;
        fakep11::Object object;
        object.label = "obj";
        object.value = {1, 2, 3};
        fake_->objects[context.hObject] = object;
        EXPECT_EQ(ProviderFunctions()->C_OpenSession(0, CKF_RW_SESSION | CKF_SERIAL_SESSION,
                                                     nullptr, nullptr, &context.hSession),
                  CKR_OK);
        fake_->loggedIn[0] = GetParam().name == std::string("CreatePrivateObject");
        fake_->ClearCalls();
        return context;
    }

    fakep11::State *fake_ = nullptr;
};

TEST_P(FailureSweep, PassesEachFailureOnAndLeavesNothingOpen)
{
    const Scenario &scenario = GetParam();
    Context clean = Prepare();
    ASSERT_EQ(scenario.run(clean), CKR_OK) << "the scenario must succeed without failures";
    const std::vector<Call> sequence = fake_->sequence;
    ASSERT_FALSE(sequence.empty());
    std::printf("%s: %zu call sites x %zu codes\n", scenario.name, sequence.size(), kCodes.size());

    for (std::size_t i = 0; i < sequence.size(); ++i) {
        const Call call = sequence[i];
        const auto occurrence = static_cast<unsigned>(
            std::count(sequence.begin(), sequence.begin() + static_cast<long>(i) + 1, call));
        for (const CK_RV code : kCodes) {
            SCOPED_TRACE("C_" + std::string(fakep11::kCallNames[static_cast<std::size_t>(call)]) +
                         " #" + std::to_string(occurrence) + " fails with " + std::to_string(code));
            Context context = Prepare();
            fake_->Fail(call, occurrence, code);
            const CK_RV rv = scenario.run(context);

            CK_RV expected = code;
            if (call == Call::CloseSession ||
                (call == Call::Login && code == CKR_USER_ALREADY_LOGGED_IN)) {
                expected = CKR_OK;
            }
            EXPECT_EQ(rv, expected);
            const bool handedOut = rv == CKR_OK && scenario.handsOutSession;
            std::size_t expectedSessions = 1 + (handedOut ? 1 : 0);
            if (call == Call::CloseSession) {
                expectedSessions += 1;  // the provider refused to close it: nothing more to do
            }
            EXPECT_EQ(fake_->sessions.size(), expectedSessions);
            EXPECT_EQ(fake_->sessions.count(context.hSession), 1U);
            if (handedOut) {
                EXPECT_EQ(fake_->sessions.count(context.returned), 1U);
            }
            // A refused C_FindObjectsFinal is the one case where the provider keeps the search.
            if (call != Call::FindObjectsFinal) {
                EXPECT_EQ(fake_->ActiveSearches(), 0U);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(LibraryFunctions, FailureSweep, ::testing::ValuesIn(Scenarios()),
                         [](const ::testing::TestParamInfo<Scenario> &info) {
                             std::string name = info.param.name;
                             std::replace(name.begin(), name.end(), ' ', '_');
                             return name;
                         });

// A failed C_FindObjects must still end the search, in the caller's session too.
TEST(FindObjectByLabel, AFailedFindObjectsStillEndsTheSearch)
{
    fakep11::State *fake = testsupport::FakeState();
    ASSERT_NE(fake, nullptr);
    fake->Reset();
    fake->lenient = true;
    CK_SESSION_HANDLE hSession = 0;
    ASSERT_EQ(
        ProviderFunctions()->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &hSession),
        CKR_OK);
    fake->Fail(Call::FindObjects, 1, CKR_DEVICE_ERROR);
    CK_OBJECT_HANDLE h = 0;
    EXPECT_EQ(FindObjectByLabel(hSession, CKO_DATA, "x", &h), CKR_DEVICE_ERROR);
    EXPECT_EQ(fake->Calls(Call::FindObjectsFinal), 1U);
    EXPECT_EQ(fake->ActiveSearches(), 0U);
}

}  // namespace

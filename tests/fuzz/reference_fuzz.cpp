// Fuzz target: OpenObjectByReference over the scriptable provider (with a provider failure chosen
// by the input), and TrimTrailingSpaces. Any broken promise aborts: a wrong code, a session or a
// search left open, a trim that changed more than trailing blanks.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ckhelper.h"
#include "support/fakestate.h"

namespace {

void Require(bool holds)
{
    if (!holds) {
        std::abort();
    }
}

void FuzzTrim(const std::uint8_t *data, std::size_t size)
{
    // No terminator: the function must stay within the size it is given.
    std::vector<char> text(data, data + size);
    const std::vector<char> original = text;
    TrimTrailingSpaces(text.data(), static_cast<int>(text.size()));
    const std::size_t length = strnlen(original.data(), original.size());
    std::size_t kept = length;
    while (kept > 1 && original[kept - 1] == ' ') {
        --kept;
    }
    for (std::size_t i = 0; i < original.size(); ++i) {
        Require(text[i] == (i >= kept && i < length ? '\0' : original[i]));
    }
}

void FuzzReference(std::uint8_t control, const std::uint8_t *data, std::size_t size)
{
    fakep11::State *fake = testsupport::FakeState();
    Require(fake != nullptr);
    fake->Reset();
    fake->lenient = true;
    fake->tokens = {{3, "tok(x", "pin"}, {0, "tok", "1234"}, {7, "", "1"}, {9, "tok", "9"}};
    CK_OBJECT_HANDLE handle = 100;
    for (const char *label : {"obj", "a/b", "", "x)", "obj"}) {
        fakep11::Object object;
        object.label = label;
        fake->objects[handle++] = object;
    }
    fake->nextObject = handle;
    // Bits of the control byte: keep the session; fail a call (which, at which occurrence).
    const bool keepSession = (control & 1) != 0;
    const auto failing =
        static_cast<fakep11::Call>((control >> 1) % static_cast<unsigned>(fakep11::Call::Count));
    const bool inject = (control & 0x80) != 0;
    const unsigned occurrence = 1U + ((control >> 5U) & 1U);
    if (inject) {
        fake->Fail(failing, occurrence, CKR_DEVICE_ERROR);
    }

    const std::string reference(reinterpret_cast<const char *>(data), size);
    CK_SLOT_ID slot = 0;
    CK_SESSION_HANDLE hSession = CK_INVALID_HANDLE;
    CK_OBJECT_HANDLE hObject = CK_INVALID_HANDLE;
    const CK_RV rv = OpenObjectByReference(reference.c_str(), CKO_DATA, &slot,
                                           keepSession ? &hSession : nullptr, &hObject);

    const bool closeRefused = inject && failing == fakep11::Call::CloseSession &&
                              fake->Calls(fakep11::Call::CloseSession) >= occurrence;
    const bool handedOut = rv == CKR_OK && keepSession;
    Require(fake->sessions.size() <= (handedOut ? 1U : 0U) + (closeRefused ? 1U : 0U));
    if (handedOut) {
        Require(fake->sessions.count(hSession) == 1);
        Require(fake->objects.count(hObject) == 1);
    }
    if (!(inject && failing == fakep11::Call::FindObjectsFinal)) {
        Require(fake->ActiveSearches() == 0);
    }
    if (reference.find('/') == std::string::npos) {
        Require(rv == CKR_ARGUMENTS_BAD && fake->log.empty());
    }
    Require(rv == CKR_OK || rv == CKR_ARGUMENTS_BAD || rv == CKR_GENERAL_ERROR ||
            rv == CKR_DEVICE_ERROR || rv == CKR_PIN_INCORRECT);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/)
{
    setenv("PKCS11_MODULE_PATH", FAKEP11_PATH, 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2) {
        return 0;
    }
    if ((data[0] & 1) == 0) {
        FuzzTrim(data + 1, size - 1);
    } else {
        FuzzReference(data[1], data + 2, size - 2);
    }
    return 0;
}

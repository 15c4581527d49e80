// Fuzz target: OpenObjectByReference, OpenObjectByUri and FindSlotsByUri on SoftHSM2 tokens through
// the fault shim (with a provider failure chosen by the input), and TrimTrailingSpaces. Any broken
// promise aborts: a code the function cannot give, a session or search left open, a trim that
// changed more than trailing blanks.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "support/support.h"

namespace {

using p11shim::Call;
using testsupport::Shim;

void Require(bool holds)
{
    if (!holds)
        std::abort();
}

void FuzzTrim(const std::uint8_t *data, std::size_t size)
{
    // No terminator: the function must stay within the size it is given.
    std::vector<char> text(data, data + size);
    const std::vector<char> original = text;
    TrimTrailingSpaces(text.data(), static_cast<int>(text.size()));
    const std::size_t length = strnlen(original.data(), original.size());
    std::size_t kept = length;
    while (kept > 1 && original[kept - 1] == ' ')
        --kept;
    for (std::size_t i = 0; i < original.size(); ++i)
        Require(text[i] == (i >= kept && i < length ? '\0' : original[i]));
}

// Bits of the control byte: keep the session; fail a call (which, at which occurrence).
void FuzzOpen(bool uri, std::uint8_t control, const std::uint8_t *data, std::size_t size)
{
    const bool keepSession = (control & 1) != 0;
    const auto failing = static_cast<Call>((control >> 1) % p11shim::kCalls);
    const bool inject = (control & 0x80) != 0;
    const unsigned nth = 1U + ((control >> 5U) & 1U);
    Shim().Reset();
    if (inject)
        Shim().Fail(failing, nth, CKR_DEVICE_ERROR);
    const std::string name(reinterpret_cast<const char *>(data), size);
    CK_SESSION_HANDLE hSession = CK_INVALID_HANDLE;
    CK_OBJECT_HANDLE hObject = CK_INVALID_HANDLE;
    CK_SESSION_HANDLE *phSession = keepSession ? &hSession : nullptr;
    const CK_RV rv =
        uri ? OpenObjectByUri(name.c_str(), nullptr, phSession, &hObject)
            : OpenObjectByReference(name.c_str(), CKO_DATA, nullptr, phSession, &hObject);

    const bool handedOut = rv == CKR_OK && keepSession;
    const bool closeRefused =
        inject && failing == Call::CloseSession && Shim().Calls(Call::CloseSession) >= nth;
    Require(Shim().sessions.size() == (handedOut ? 1U : 0U) + (closeRefused ? 1U : 0U));
    Require(!handedOut || Shim().sessions.count(hSession) == 1);
    Require(Shim().searches.empty() || (inject && failing == Call::FindObjectsFinal));
    Require(rv != CKR_ARGUMENTS_BAD || Shim().sequence.empty());
    Require(uri || name.find('/') != std::string::npos || rv == CKR_ARGUMENTS_BAD);
    Require(rv == CKR_OK || rv == CKR_ARGUMENTS_BAD || rv == CKR_GENERAL_ERROR ||
            rv == CKR_DEVICE_ERROR || rv == CKR_PIN_INCORRECT || rv == CKR_PIN_LEN_RANGE ||
            rv == CKR_TOKEN_NOT_RECOGNIZED ||  // the blank label of the free slot
            rv == CKR_HOST_MEMORY);
    if (uri) {  // the same text as a token URI
        std::array<CK_SLOT_ID, 4> slots{};
        CK_ULONG count = slots.size();
        const CK_RV found = FindSlotsByUri(name.c_str(), slots.data(), &count);
        Require(found == CKR_OK || found == CKR_ARGUMENTS_BAD || found == CKR_DEVICE_ERROR ||
                found == CKR_BUFFER_TOO_SMALL || found == CKR_HOST_MEMORY);
    }
    Shim().Reset();
    for (const CK_SESSION_HANDLE open : std::set<CK_SESSION_HANDLE>(Shim().sessions))
        ProviderFunctions()->C_CloseSession(open);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/)
{
    static const testsupport::TempDir store;
    setenv("SOFTHSM2_CONF", testsupport::MakeTokens(store, {"tok", "tok(x", "tok"}).c_str(), 1);
    CK_FUNCTION_LIST_PTR p11 = ProviderFunctions();
    Require(p11 != nullptr && p11->C_Initialize(nullptr) == CKR_OK);
    CK_SESSION_HANDLE hSession = 0;
    Require(p11->C_OpenSession(0, CKF_RW_SESSION | CKF_SERIAL_SESSION, nullptr, nullptr,
                               &hSession) == CKR_OK);
    CK_OBJECT_HANDLE hObject = 0;
    for (const char *label : {"obj", "a/b", "", "x)", "obj"})
        Require(CreatePublicObject(hSession, CKO_DATA, label, &hObject) == CKR_OK);
    p11->C_CloseSession(hSession);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size >= 2 && data[0] % 3 == 0)
        FuzzTrim(data + 1, size - 1);
    else if (size >= 2)
        FuzzOpen(data[0] % 3 == 2, data[1], data + 2, size - 2);
    return 0;
}

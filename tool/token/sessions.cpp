#include "token/sessions.h"

namespace randdump {

Sessions::~Sessions()
{
    Close();
}

void Sessions::Close()
{
    for (const CK_SESSION_HANDLE hSession : handles_) {
        p11_.C_CloseSession(hSession);
    }
    handles_.clear();
}

CK_RV Sessions::Open(CK_SLOT_ID slot, unsigned count, bool readOnlyToo)
{
    handles_.reserve(count);
    CK_FLAGS flags = CKF_RW_SESSION | CKF_SERIAL_SESSION;
    while (handles_.size() < count) {
        CK_SESSION_HANDLE hSession = CK_INVALID_HANDLE;
        const CK_RV rv = p11_.C_OpenSession(slot, flags, nullptr, nullptr, &hSession);
        if (rv == CKR_TOKEN_WRITE_PROTECTED && readOnlyToo && flags != CKF_SERIAL_SESSION) {
            flags = CKF_SERIAL_SESSION;
            continue;
        }
        if (rv != CKR_OK) {
            return rv;
        }
        handles_.push_back(hSession);
    }
    return CKR_OK;
}

CK_RV Sessions::Login(std::string_view pin)
{
    // CK_UTF8CHAR_PTR has no const form; the provider only reads the PIN.
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast)
    auto *bytes = reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char *>(pin.data()));
    const CK_RV rv = p11_.C_Login(handles_.front(), CKU_USER, bytes, pin.size());
    loggedIn_ = loggedIn_ || rv == CKR_OK;
    return rv == CKR_USER_ALREADY_LOGGED_IN ? CKR_OK : rv;
}

}  // namespace randdump

#include "session.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

namespace ckhelper {

WipedText::WipedText(std::string_view text) : bytes_(text.size() + 1, '\0')
{
    std::memcpy(bytes_.data(), text.data(), text.size());
}

WipedText::WipedText(std::size_t size) : bytes_(size, '\0')
{
}

WipedText::~WipedText()
{
    explicit_bzero(bytes_.data(), bytes_.size());
}

CK_RV SlotList(const CK_FUNCTION_LIST &p11, CK_BBOOL tokenPresent, std::vector<CK_SLOT_ID> &slots)
{
    CK_ULONG count = 0;
    CK_RV rv = Entry(p11.C_GetSlotList)(tokenPresent, nullptr, &count);
    if (rv != CKR_OK) {
        return rv;
    }
    try {
        slots.resize(count);
    } catch (const std::bad_alloc &) {
        return CKR_HOST_MEMORY;
    } catch (const std::length_error &) {  // a count no memory could hold
        return CKR_HOST_MEMORY;
    }
    if (count == 0) {
        return CKR_OK;
    }
    rv = Entry(p11.C_GetSlotList)(tokenPresent, slots.data(), &count);
    slots.resize(std::min<std::size_t>(count, slots.size()));
    return rv;
}

CK_RV FindTokenSlot(const CK_FUNCTION_LIST &p11,
                    const std::function<bool(CK_SLOT_ID, const CK_TOKEN_INFO &)> &matches,
                    CK_SLOT_ID *pSlot)
{
    std::vector<CK_SLOT_ID> slots;
    CK_RV rv = SlotList(p11, CK_TRUE, slots);
    if (rv != CKR_OK) {
        return rv;
    }
    for (const CK_SLOT_ID slot : slots) {
        CK_TOKEN_INFO info{};
        rv = Entry(p11.C_GetTokenInfo)(slot, &info);
        if (rv != CKR_OK) {
            return rv;
        }
        if (matches(slot, info)) {
            *pSlot = slot;
            return CKR_OK;
        }
    }
    return CKR_GENERAL_ERROR;
}

CK_RV FindFirstObject(const CK_FUNCTION_LIST &p11, CK_SESSION_HANDLE hSession,
                      std::span<CK_ATTRIBUTE> match, CK_OBJECT_HANDLE *phObject)
{
    ObjectSearch search(p11, hSession);
    CK_RV rv = search.Begin(match);
    if (rv != CKR_OK) {
        return rv;
    }
    CK_ULONG found = 0;
    rv = Entry(p11.C_FindObjects)(hSession, phObject, 1, &found);
    if (rv != CKR_OK) {
        return rv;
    }
    rv = search.End();
    if (rv != CKR_OK) {
        return rv;
    }
    return found == 1 ? CKR_OK : CKR_GENERAL_ERROR;
}

CK_RV OpenObjectInSlot(const CK_FUNCTION_LIST &p11, CK_SLOT_ID slot,
                       std::optional<std::string_view> pin,
                       const std::function<CK_RV(CK_SESSION_HANDLE, CK_OBJECT_HANDLE *)> &find,
                       CK_SLOT_ID *pSlot, CK_SESSION_HANDLE *phSession, CK_OBJECT_HANDLE *phObject)
{
    CK_SESSION_HANDLE hSession = CK_INVALID_HANDLE;
    CK_RV rv = Entry(p11.C_OpenSession)(slot, CKF_RW_SESSION | CKF_SERIAL_SESSION, nullptr, nullptr,
                                        &hSession);
    if (rv != CKR_OK) {
        return rv;
    }
    OpenedSession session(p11, hSession);
    bool loggedInHere = false;
    if (pin) {
        // CK_UTF8CHAR_PTR has no const form; the provider only reads the PIN.
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast)
        auto *bytes = reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char *>(pin->data()));
        rv = Entry(p11.C_Login)(hSession, CKU_USER, bytes, pin->size());
        if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) {
            return rv;
        }
        loggedInHere = rv == CKR_OK;
    }
    CK_OBJECT_HANDLE hObject = CK_INVALID_HANDLE;
    rv = find(hSession, &hObject);
    if (rv != CKR_OK) {
        // The login holds for every session of the application on the token: a failed lookup
        // must not leave the user logged in for the next PIN-less one.
        if (loggedInHere) {
            Entry(p11.C_Logout)(hSession);
        }
        return rv;
    }
    if (pSlot != nullptr) {
        *pSlot = slot;
    }
    if (phSession != nullptr) {
        *phSession = session.Release();
    }
    if (phObject != nullptr) {
        *phObject = hObject;
    }
    return CKR_OK;
}

}  // namespace ckhelper

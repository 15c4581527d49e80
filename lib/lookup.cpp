// Naming tokens and objects by text: a token by its label, an object by class and label, and both
// by a reference "token(pin)/label".
#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <span>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "ckhelper.h"
#include "templates.h"

namespace {

// CK_TOKEN_INFO's label: 32 bytes, blank-padded, not terminated.
constexpr std::size_t kLabelSize = 32;
using LabelBuffer = std::array<char, kLabelSize + 1>;

// A label as compared: cut to 32 bytes, terminated, trailing blanks stripped.
LabelBuffer ComparableLabel(const char *text, std::size_t length)
{
    LabelBuffer label{};
    std::memcpy(label.data(), text, std::min(length, kLabelSize));
    TrimTrailingSpaces(label.data(), static_cast<int>(kLabelSize));
    return label;
}

// A session the library opened, closed again unless handed to the caller.
class OpenedSession {
public:
    OpenedSession(CK_FUNCTION_LIST &p11, CK_SESSION_HANDLE hSession)
        : p11_(p11), hSession_(hSession)
    {
    }
    ~OpenedSession()
    {
        if (owned_) {
            p11_.C_CloseSession(hSession_);
        }
    }
    OpenedSession(const OpenedSession &) = delete;
    OpenedSession &operator=(const OpenedSession &) = delete;
    OpenedSession(OpenedSession &&) = delete;
    OpenedSession &operator=(OpenedSession &&) = delete;

    CK_SESSION_HANDLE Release()
    {
        owned_ = false;
        return hSession_;
    }

private:
    CK_FUNCTION_LIST &p11_;
    CK_SESSION_HANDLE hSession_;
    bool owned_ = true;
};

// A writable, terminated copy of a text that may hold a PIN; wiped before its memory is released.
class WipedCopy {
public:
    explicit WipedCopy(std::string_view text) : bytes_(text.size() + 1, '\0')
    {
        std::memcpy(bytes_.data(), text.data(), text.size());
    }
    ~WipedCopy() { explicit_bzero(bytes_.data(), bytes_.size()); }
    WipedCopy(const WipedCopy &) = delete;
    WipedCopy &operator=(const WipedCopy &) = delete;
    WipedCopy(WipedCopy &&) = delete;
    WipedCopy &operator=(WipedCopy &&) = delete;

    char *Data() { return bytes_.data(); }

private:
    std::vector<char> bytes_;
};

// The parts of a reference, pointing into its working copy, each cut off by a terminator.
struct Reference {
    const char *tokenLabel = nullptr;
    char *pin = nullptr;  // null when the reference has no "("
    const char *objectLabel = nullptr;
};

// Splits token(pin)/label in place. False when there is no "/".
bool ParseReference(char *text, Reference &parts)
{
    char *slash = std::strchr(text, '/');
    if (slash == nullptr) {
        return false;
    }
    *slash = '\0';
    parts.tokenLabel = text;
    parts.objectLabel = slash + 1;
    char *open = std::strchr(text, '(');
    if (open != nullptr) {
        *open = '\0';
        parts.pin = open + 1;
        char *close = std::strchr(parts.pin, ')');
        if (close != nullptr) {
            *close = '\0';
        }
    }
    return true;
}

CK_RV FindInSlotList(CK_FUNCTION_LIST &p11, const LabelBuffer &wanted, CK_ULONG count,
                     CK_SLOT_ID *pSlot)
{
    std::vector<CK_SLOT_ID> slots;
    try {
        slots.resize(count);
    } catch (const std::bad_alloc &) {
        return CKR_HOST_MEMORY;
    } catch (const std::length_error &) {  // a count no memory could hold
        return CKR_HOST_MEMORY;
    }
    CK_RV rv = p11.C_GetSlotList(CK_TRUE, slots.data(), &count);
    if (rv != CKR_OK) {
        return rv;
    }
    for (const CK_SLOT_ID slot :
         std::span(slots).first(std::min<std::size_t>(count, slots.size()))) {
        CK_TOKEN_INFO info{};
        rv = p11.C_GetTokenInfo(slot, &info);
        if (rv != CKR_OK) {
            return rv;
        }
        const LabelBuffer label =
            ComparableLabel(reinterpret_cast<const char *>(info.label), sizeof info.label);
        if (std::strcmp(label.data(), wanted.data()) == 0) {
            *pSlot = slot;
            return CKR_OK;
        }
    }
    return CKR_GENERAL_ERROR;
}

CK_RV OpenObject(CK_FUNCTION_LIST &p11, const Reference &reference, CK_OBJECT_CLASS objectClass,
                 CK_SLOT_ID *pSlot, CK_SESSION_HANDLE *phSession, CK_OBJECT_HANDLE *phObject)
{
    CK_SLOT_ID slot = 0;
    CK_RV rv = FindSlotByTokenLabel(reference.tokenLabel, &slot);
    if (rv != CKR_OK) {
        return rv;
    }
    CK_SESSION_HANDLE hSession = CK_INVALID_HANDLE;
    rv = p11.C_OpenSession(slot, CKF_RW_SESSION | CKF_SERIAL_SESSION, nullptr, nullptr, &hSession);
    if (rv != CKR_OK) {
        return rv;
    }
    OpenedSession session(p11, hSession);
    if (reference.pin != nullptr) {
        rv = p11.C_Login(hSession, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(reference.pin),
                         std::strlen(reference.pin));
        if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) {
            return rv;
        }
    }
    CK_OBJECT_HANDLE hObject = CK_INVALID_HANDLE;
    rv = FindObjectByLabel(hSession, objectClass, reference.objectLabel, &hObject);
    if (rv != CKR_OK) {
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

}  // namespace

extern "C" void TrimTrailingSpaces(char *text, int size)
{
    if (text == nullptr || size <= 0) {
        return;
    }
    std::size_t end = strnlen(text, static_cast<std::size_t>(size));
    while (end > 1 && text[end - 1] == ' ') {
        text[--end] = '\0';
    }
}

extern "C" CK_RV FindSlotByTokenLabel(const char *label, CK_SLOT_ID *pSlot)
{
    if (label == nullptr || pSlot == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    CK_FUNCTION_LIST_PTR p11 = ProviderFunctions();
    if (p11 == nullptr) {
        return CKR_GENERAL_ERROR;
    }
    CK_ULONG count = 0;
    const CK_RV rv = p11->C_GetSlotList(CK_TRUE, nullptr, &count);
    if (rv != CKR_OK) {
        return rv;
    }
    const LabelBuffer wanted = ComparableLabel(label, strnlen(label, kLabelSize));
    if (count == 0) {
        return CKR_GENERAL_ERROR;
    }
    return FindInSlotList(*p11, wanted, count, pSlot);
}

extern "C" CK_RV FindObjectByLabel(CK_SESSION_HANDLE hSession, CK_OBJECT_CLASS objectClass,
                                   const char *label, CK_OBJECT_HANDLE *phObject)
{
    if (label == nullptr || phObject == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    CK_FUNCTION_LIST_PTR p11 = ProviderFunctions();
    if (p11 == nullptr) {
        return CKR_GENERAL_ERROR;
    }
    std::array<CK_ATTRIBUTE, 2> search{{{CKA_CLASS, nullptr, 0}, {CKA_LABEL, nullptr, 0}}};
    ckhelper::FillAttr(search, CKA_CLASS, &objectClass, sizeof objectClass);
    ckhelper::FillLabel(search, label);
    CK_RV rv = p11->C_FindObjectsInit(hSession, search.data(), search.size());
    if (rv != CKR_OK) {
        return rv;
    }
    CK_ULONG found = 0;
    rv = p11->C_FindObjects(hSession, phObject, 1, &found);
    if (rv != CKR_OK) {
        // The search must not outlive this call, or the session refuses the next one.
        p11->C_FindObjectsFinal(hSession);
        return rv;
    }
    rv = p11->C_FindObjectsFinal(hSession);
    if (rv != CKR_OK) {
        return rv;
    }
    return found == 1 ? CKR_OK : CKR_GENERAL_ERROR;
}

extern "C" CK_RV OpenObjectByReference(const char *reference, CK_OBJECT_CLASS objectClass,
                                       CK_SLOT_ID *pSlot, CK_SESSION_HANDLE *phSession,
                                       CK_OBJECT_HANDLE *phObject)
{
    if (reference == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    try {
        WipedCopy copy(reference);
        Reference parts;
        if (!ParseReference(copy.Data(), parts)) {
            return CKR_ARGUMENTS_BAD;
        }
        CK_FUNCTION_LIST_PTR p11 = ProviderFunctions();
        if (p11 == nullptr) {
            return CKR_GENERAL_ERROR;
        }
        return OpenObject(*p11, parts, objectClass, pSlot, phSession, phObject);
    } catch (const std::bad_alloc &) {
        return CKR_GENERAL_ERROR;
    }
}

// Opening an object named by a reference "token(pin)/label".
#include <cstring>
#include <new>
#include <optional>
#include <string_view>

#include "ckhelper.h"
#include "session.h"

namespace {

// The parts of a reference, pointing into its working copy, each cut off by a terminator.
struct Reference {
    const char *tokenLabel = nullptr;
    const char *pin = nullptr;  // null when the reference has no "("
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
        char *close = std::strchr(open + 1, ')');
        if (close != nullptr) {
            *close = '\0';
        }
    }
    return true;
}

}  // namespace

extern "C" CK_RV OpenObjectByReference(const char *reference, CK_OBJECT_CLASS objectClass,
                                       CK_SLOT_ID *pSlot, CK_SESSION_HANDLE *phSession,
                                       CK_OBJECT_HANDLE *phObject)
{
    if (reference == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    try {
        ckhelper::WipedText copy(reference);
        Reference parts;
        if (!ParseReference(copy.Data(), parts)) {
            return CKR_ARGUMENTS_BAD;
        }
        CK_FUNCTION_LIST_PTR p11 = ProviderFunctions();
        if (p11 == nullptr) {
            return CKR_GENERAL_ERROR;
        }
        CK_SLOT_ID slot = 0;
        const CK_RV rv = FindSlotByTokenLabel(parts.tokenLabel, &slot);
        if (rv != CKR_OK) {
            return rv;
        }
        const auto pin =
            parts.pin != nullptr ? std::optional<std::string_view>(parts.pin) : std::nullopt;
        return ckhelper::OpenObjectInSlot(
            *p11, slot, pin,
            [&](CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE *phFound) {
                return FindObjectByLabel(hSession, objectClass, parts.objectLabel, phFound);
            },
            pSlot, phSession, phObject);
    } catch (const std::bad_alloc &) {
        return CKR_GENERAL_ERROR;
    }
}

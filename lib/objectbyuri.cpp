// Opening an object named by a PKCS#11 URI (RFC 7512), which p11-kit parses and matches.
#include <new>

#include "uri.h"

extern "C" CK_RV OpenObjectByUri(const char *uri, CK_SLOT_ID *pSlot, CK_SESSION_HANDLE *phSession,
                                 CK_OBJECT_HANDLE *phObject)
{
    try {
        ckhelper::ParsedUri parsed;
        if (!parsed.Parse(uri, true).empty() || parsed.NamesAnotherModule()) {
            return CKR_ARGUMENTS_BAD;
        }
        ckhelper::WipedText pinFile(ckhelper::ParsedUri::kMaxPinFile + 1);
        std::optional<std::string_view> pin;
        CK_RV rv = parsed.Pin(pinFile, pin);
        if (rv != CKR_OK) {
            return rv;
        }
        CK_FUNCTION_LIST_PTR p11 = ProviderFunctions();
        if (p11 == nullptr) {
            return CKR_GENERAL_ERROR;
        }
        std::vector<CK_SLOT_ID> slots;
        rv = ckhelper::MatchingSlots(*p11, parsed, slots);
        if (rv != CKR_OK || slots.empty()) {
            return rv != CKR_OK ? rv : CKR_GENERAL_ERROR;
        }
        CK_ULONG count = 0;
        CK_ATTRIBUTE *match = p11_kit_uri_get_attributes(parsed.Get(), &count);
        return ckhelper::OpenObjectInSlot(
            *p11, slots.front(), pin,
            [&](CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE *phFound) {
                return ckhelper::FindFirstObject(*p11, hSession, {match, count}, phFound);
            },
            pSlot, phSession, phObject);
    } catch (const std::bad_alloc &) {
        return CKR_HOST_MEMORY;
    }
}

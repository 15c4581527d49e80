// Tokens named by PKCS#11 URI: the slots a URI matches, and the URI of a slot's token.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "uri.h"

extern "C" CK_RV FindSlotsByUri(const char *uri, CK_SLOT_ID *pSlotList, CK_ULONG *pulCount)
{
    if (uri == nullptr || pulCount == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    try {
        ckhelper::ParsedUri parsed;
        if (!parsed.Parse(uri, false).empty() || parsed.NamesAnotherModule()) {
            return CKR_ARGUMENTS_BAD;
        }
        CK_FUNCTION_LIST_PTR p11 = ProviderFunctions();
        if (p11 == nullptr) {
            return CKR_GENERAL_ERROR;
        }
        std::vector<CK_SLOT_ID> slots;
        const CK_RV rv = ckhelper::MatchingSlots(*p11, parsed, slots);
        if (rv != CKR_OK) {
            return rv;
        }
        const CK_ULONG room = *pulCount;
        *pulCount = slots.size();
        if (pSlotList == nullptr) {
            return CKR_OK;
        }
        if (room < slots.size()) {
            return CKR_BUFFER_TOO_SMALL;
        }
        std::copy(slots.begin(), slots.end(), pSlotList);
        return CKR_OK;
    } catch (const std::bad_alloc &) {
        return CKR_HOST_MEMORY;
    }
}

extern "C" CK_RV GetTokenUri(CK_SLOT_ID slotID, char *pUri, CK_ULONG *pulSize)
{
    if (pulSize == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    CK_FUNCTION_LIST_PTR p11 = ProviderFunctions();
    if (p11 == nullptr) {
        return CKR_GENERAL_ERROR;
    }
    CK_TOKEN_INFO info{};
    const CK_RV rv = provider::Entry(p11->C_GetTokenInfo)(slotID, &info);
    if (rv != CKR_OK) {
        return rv;
    }
    try {
        const ckhelper::ParsedUri uri;
        *p11_kit_uri_get_token_info(uri.Get()) = info;
        char *formatted = nullptr;
        if (p11_kit_uri_format(uri.Get(), P11_KIT_URI_FOR_TOKEN, &formatted) != P11_KIT_URI_OK) {
            return CKR_HOST_MEMORY;
        }
        const std::unique_ptr<char, decltype(&std::free)> text(formatted, &std::free);
        const CK_ULONG size = std::strlen(text.get()) + 1;
        const CK_ULONG room = *pulSize;
        *pulSize = size;
        if (pUri == nullptr) {
            return CKR_OK;
        }
        if (room < size) {
            return CKR_BUFFER_TOO_SMALL;
        }
        std::memcpy(pUri, text.get(), size);
        return CKR_OK;
    } catch (const std::bad_alloc &) {
        return CKR_HOST_MEMORY;
    }
}

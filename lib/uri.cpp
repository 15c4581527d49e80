#include "uri.h"

#include <sys/stat.h>

#include <cstring>
#include <functional>
#include <new>
#include <string>

namespace ckhelper {
namespace {

// Each attribute of a path (separated by ';') or a query (by '&').
void ForEachAttribute(std::string_view list, char separator,
                      const std::function<void(std::string_view)> &visit)
{
    while (!list.empty()) {
        const std::size_t end = list.find(separator);
        visit(list.substr(0, end));
        list = end == std::string_view::npos ? std::string_view() : list.substr(end + 1);
    }
}

bool SameFile(const char *a, const char *b)
{
    struct stat first {};
    struct stat second {};
    return std::strcmp(a, b) == 0 ||
           (stat(a, &first) == 0 && stat(b, &second) == 0 && first.st_dev == second.st_dev &&
            first.st_ino == second.st_ino);
}

}  // namespace

std::vector<std::string_view> PinValues(std::string_view text)
{
    constexpr std::string_view kPinValue = "pin-value=";
    std::vector<std::string_view> values;
    const auto collect = [&](std::string_view attribute) {
        if (attribute.starts_with(kPinValue)) {
            values.push_back(attribute.substr(kPinValue.size()));
        }
    };
    const std::size_t query = text.find('?');
    const std::string_view path = text.substr(0, query);
    const std::size_t scheme = path.find(':');
    ForEachAttribute(path.substr(scheme == std::string_view::npos ? 0 : scheme + 1), ';', collect);
    if (query != std::string_view::npos) {
        ForEachAttribute(text.substr(query + 1), '&', collect);
    }
    return values;
}

ParsedUri::ParsedUri() : uri_(p11_kit_uri_new())
{
    if (uri_ == nullptr) {
        throw std::bad_alloc();
    }
}

ParsedUri::~ParsedUri()
{
    if (const char *pin = p11_kit_uri_get_pin_value(uri_); pin != nullptr) {
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast)
        explicit_bzero(const_cast<char *>(pin), std::strlen(pin));
    }
    p11_kit_uri_free(uri_);
}

const char *ParsedUri::Parse(const char *text, bool objects)
{
    if (text == nullptr) {
        return "no URI";
    }
    // p11-kit keeps the last of repeated pin-values and frees the others unwiped, and a zero
    // byte would cut the PIN short: both are refused before p11-kit copies the text.
    const std::vector<std::string_view> pins = PinValues(text);
    if (pins.size() > 1 || (pins.size() == 1 && pins[0].find("%00") != std::string_view::npos)) {
        return "a pin-value given twice or holding a zero byte";
    }
    const int result = p11_kit_uri_parse(text, P11_KIT_URI_FOR_ANY, uri_);
    if (result != P11_KIT_URI_OK) {
        return p11_kit_uri_message(result);
    }
    if (p11_kit_uri_any_unrecognized(uri_) != 0) {
        return "an attribute p11-kit does not know";
    }
    CK_ULONG count = 0;
    p11_kit_uri_get_attributes(uri_, &count);
    if (!objects && count != 0) {
        return "object attributes (object, id, type) where a token is wanted";
    }
    return nullptr;
}

// The library binds one module: a URI may name only that one, by path or by name (the file name
// without "lib" and ".so", as p11-kit names modules).
bool ParsedUri::NamesAnotherModule() const
{
    const char *path = p11_kit_uri_get_module_path(uri_);
    const char *name = p11_kit_uri_get_module_name(uri_);
    std::string_view bound = ProviderModulePath();
    if (path != nullptr && !SameFile(path, ProviderModulePath())) {
        return true;
    }
    bound = bound.substr(bound.rfind('/') + 1);
    if (bound.starts_with("lib")) {
        bound.remove_prefix(3);
    }
    return name != nullptr && bound.substr(0, bound.find(".so")) != name;
}

CK_RV MatchingSlots(const CK_FUNCTION_LIST &p11, const ParsedUri &uri,
                    std::vector<CK_SLOT_ID> &slots)
{
    slots.clear();
    CK_INFO library{};
    CK_RV rv = Entry(p11.C_GetInfo)(&library);
    if (rv != CKR_OK || p11_kit_uri_match_module_info(uri.Get(), &library) != 1) {
        return rv;
    }
    std::vector<CK_SLOT_ID> present;
    rv = SlotList(p11, CK_TRUE, present);
    if (rv != CKR_OK) {
        return rv;
    }
    // p11_kit_uri_match_slot_info() leaves the slot ID to the caller; (CK_SLOT_ID)-1 is unset.
    const CK_SLOT_ID wanted = p11_kit_uri_get_slot_id(uri.Get());
    for (const CK_SLOT_ID slot : present) {
        if (wanted != static_cast<CK_SLOT_ID>(-1) && slot != wanted) {
            continue;
        }
        CK_SLOT_INFO slotInfo{};
        CK_TOKEN_INFO tokenInfo{};
        rv = Entry(p11.C_GetSlotInfo)(slot, &slotInfo);
        if (rv == CKR_OK && p11_kit_uri_match_slot_info(uri.Get(), &slotInfo) == 1) {
            rv = Entry(p11.C_GetTokenInfo)(slot, &tokenInfo);
            if (rv == CKR_OK && p11_kit_uri_match_token_info(uri.Get(), &tokenInfo) == 1) {
                slots.push_back(slot);
            }
        }
        if (rv != CKR_OK) {
            slots.clear();
            return rv;
        }
    }
    return CKR_OK;
}

}  // namespace ckhelper

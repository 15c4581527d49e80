#include "uri.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstring>
#include <limits>
#include <new>
#include <set>
#include <string>
#include <system_error>
#include <utility>

namespace ckhelper {
namespace {

constexpr std::string_view kScheme = "pkcs11:";
constexpr std::string_view kPinValue = "pin-value";

struct Attribute {
    std::string_view name;
    std::string_view value;
    bool query;  // in the query, where p11-kit lets what it does not know pass
};

// The attributes of a URI's text, split as p11-kit splits them: the path's by ';' from after the
// first ':' up to an empty one or a '?', then the query's by '&'.
std::vector<Attribute> Attributes(std::string_view text)
{
    std::vector<Attribute> attributes;
    // A value is always a view into the text, empty at the item's end when it has no '='.
    const auto add = [&](std::string_view item, bool query) {
        const std::size_t equals = std::min(item.find('='), item.size());
        attributes.push_back(
            {item.substr(0, equals), item.substr(std::min(equals + 1, item.size())), query});
    };
    const std::size_t colon = text.find(':');
    std::size_t at = colon == std::string_view::npos ? 0 : colon + 1;
    for (;;) {
        const std::size_t end = std::min(text.find_first_of(";?", at), text.size());
        if (end == at) {
            break;
        }
        add(text.substr(at, end - at), false);
        at = end;
        if (at == text.size() || text[at] == '?') {
            break;
        }
        ++at;
    }
    while (at < text.size()) {
        ++at;
        const std::size_t end = std::min(text.find('&', at), text.size());
        if (end == at && end == text.size()) {
            break;
        }
        add(text.substr(at, end - at), true);
        at = end;
    }
    return attributes;
}

// p11-kit takes some attributes under two or three names.
std::string_view Canonical(std::string_view name)
{
    if (name == "objecttype" || name == "object-type") {
        return "type";
    }
    return name == "pinfile" ? "pin-source" : name;
}

// The fields that p11-kit copies values into, by attribute: a longer value matches nothing.
constexpr std::array<std::pair<std::string_view, std::size_t>, 8> kFields{{
    {"token", 32},
    {"manufacturer", 32},
    {"model", 16},
    {"serial", 16},
    {"slot-description", 64},
    {"slot-manufacturer", 32},
    {"library-description", 32},
    {"library-manufacturer", 32},
}};
constexpr std::array<std::string_view, 6> kOtherAttributes{
    "id", "object", "slot-id", "pin-source", "library-version", "pin-value"};

std::size_t DecodedLength(std::string_view value)
{
    return value.size() - 2 * static_cast<std::size_t>(std::count(value.begin(), value.end(), '%'));
}

// A name fit to show: p11-kit's attribute names are lower-case letters, digits and '-'.
bool Showable(std::string_view name)
{
    return !name.empty() && name.size() <= 32 && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    });
}

// Whether the text is a decimal number below the limit, with nothing else in it.
bool SlotNumber(std::string_view text, CK_SLOT_ID limit)
{
    CK_SLOT_ID number = 0;
    const char *end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, number);
    return error == std::errc{} && stop == end && number < limit;
}

// What makes p11-kit read the text otherwise than it is written; empty when nothing does.
std::string Ambiguity(std::string_view text)
{
    if (text.find_first_of(" \t\n\r\v\f") != std::string_view::npos) {
        return "holds a blank or a line break, which p11-kit would drop (write a blank as %20)";
    }
    std::set<std::string_view> seen;
    for (const auto &[name, value, query] : Attributes(text)) {
        if (!seen.insert(Canonical(name)).second) {
            return Showable(name) ? "gives " + std::string(name) + "= twice"
                                  : "gives an attribute twice";
        }
        if (name == kPinValue && value.find("%00") != std::string_view::npos) {
            return "holds a pin-value with a zero byte (%00)";
        }
        constexpr auto kMaxSlot = std::numeric_limits<CK_SLOT_ID>::max();
        if (name == "slot-id" && !SlotNumber(value, kMaxSlot)) {
            return "has a slot-id that is not a slot ID (decimal, below " +
                   std::to_string(kMaxSlot) + ")";
        }
    }
    return {};
}

// Why p11-kit would let the URI match nothing: an attribute of its path it does not know, or
// a value it could not hold.
std::string Unrecognised(std::string_view text)
{
    constexpr std::array<std::string_view, 6> kClasses{"cert",      "public",     "private",
                                                       "secretkey", "secret-key", "data"};
    for (const Attribute &attribute : Attributes(text)) {
        const std::string_view name = attribute.name;
        const std::string_view value = attribute.value;
        const auto *field = std::find_if(kFields.begin(), kFields.end(),
                                         [&](const auto &known) { return known.first == name; });
        if (attribute.query) {
            continue;
        }
        if (field != kFields.end()) {
            if (DecodedLength(value) > field->second) {
                return "has a " + std::string(name) + "= longer than the " +
                       std::to_string(field->second) + " bytes PKCS#11 gives it";
            }
        } else if (Canonical(name) == "type") {
            if (std::find(kClasses.begin(), kClasses.end(), value) == kClasses.end()) {
                return "has a type= that names no object class p11-kit knows (cert, public, "
                       "private, secret-key, data)";
            }
        } else if (std::find(kOtherAttributes.begin(), kOtherAttributes.end(), Canonical(name)) ==
                   kOtherAttributes.end()) {
            return Showable(name) ? "has an attribute p11-kit does not know: " + std::string(name)
                                  : "has an attribute p11-kit does not know";
        }
    }
    return "has an attribute p11-kit does not know";
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
    std::vector<std::string_view> values;
    for (const auto &[name, value, query] : Attributes(text)) {
        // As p11-kit reads a name: without the blanks it drops.
        std::string squeezed(name);
        std::erase_if(squeezed, [](char c) { return std::isspace(static_cast<unsigned char>(c)); });
        if (squeezed == kPinValue) {
            values.push_back(value);
        }
    }
    return values;
}

std::string WithoutPins(std::string_view text)
{
    // Read more widely than p11-kit reads a pin-value, so that no spelling of one is shown: the
    // key in any letter case, wherever it stands, then blanks and '=', then the value up to
    // what ends an attribute (';' or '?' before the query, '&' in it) is hidden.
    const auto lower = [](char c) {
        return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    };
    std::string folded(text);
    std::transform(folded.begin(), folded.end(), folded.begin(), lower);
    const std::size_t query = text.find('?');
    std::string shown;
    std::size_t at = 0;
    for (std::size_t key = folded.find(kPinValue); key != std::string::npos;
         key = folded.find(kPinValue, key + 1)) {
        std::size_t start = key + kPinValue.size();
        while (start < text.size() &&
               (text[start] == '=' || std::isspace(static_cast<unsigned char>(text[start])))) {
            ++start;
        }
        const std::size_t end =
            std::min(text.find_first_of(
                         query == std::string_view::npos || start < query ? ";?" : "&", start),
                     text.size());
        if (start < at || end == start ||
            text.substr(key, start - key).find('=') == std::string_view::npos) {
            continue;
        }
        shown.append(text.substr(at, start - at)).append("****");
        at = end;
    }
    return shown.append(text.substr(at));
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

std::string ParsedUri::Parse(const char *text, bool objects)
{
    if (text == nullptr) {
        return "is not a PKCS#11 URI: there is none";
    }
    const std::string_view uri(text);
    if (!uri.starts_with(kScheme)) {
        return "is not a PKCS#11 URI: the scheme must be pkcs11:";
    }
    // Checked before p11-kit copies anything: it frees the pin-values it drops unwiped.
    if (std::string ambiguity = Ambiguity(uri); !ambiguity.empty()) {
        return ambiguity;
    }
    switch (p11_kit_uri_parse(text, P11_KIT_URI_FOR_ANY, uri_)) {
        case P11_KIT_URI_OK:
            break;
        case P11_KIT_URI_BAD_ENCODING:
            return "is not a PKCS#11 URI: a %-escape in it is malformed";
        case P11_KIT_URI_BAD_SYNTAX:
            return "is not a PKCS#11 URI: each attribute must be NAME=VALUE";
        case P11_KIT_URI_BAD_VERSION:
            return "is not a PKCS#11 URI: its library-version is not MAJOR.MINOR";
        default:
            return "cannot be parsed";
    }
    if (p11_kit_uri_any_unrecognized(uri_) != 0) {
        return Unrecognised(uri);
    }
    CK_ULONG count = 0;
    p11_kit_uri_get_attributes(uri_, &count);
    if (!objects && count != 0) {
        return "names an object (object=, id=, type=) where a token is wanted";
    }
    return {};
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
                    std::vector<CK_SLOT_ID> &slots, bool initialisedOnly)
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
        CK_SLOT_INFO slotInfo{};
        CK_TOKEN_INFO tokenInfo{};
        if ((wanted == static_cast<CK_SLOT_ID>(-1) || slot == wanted) &&
            Entry(p11.C_GetSlotInfo)(slot, &slotInfo) == CKR_OK &&
            p11_kit_uri_match_slot_info(uri.Get(), &slotInfo) == 1 &&
            Entry(p11.C_GetTokenInfo)(slot, &tokenInfo) == CKR_OK &&
            p11_kit_uri_match_token_info(uri.Get(), &tokenInfo) == 1 &&
            (!initialisedOnly || (tokenInfo.flags & CKF_TOKEN_INITIALIZED) != 0)) {
            slots.push_back(slot);
        }
    }
    return CKR_OK;
}

}  // namespace ckhelper

// PKCS#11 URIs (RFC 7512), parsed and matched by p11-kit: what the URI functions share.
#ifndef LIB_URI_H
#define LIB_URI_H

#include <p11-kit/uri.h>

#include <optional>
#include <string_view>
#include <vector>

#include "ckhelper.h"
#include "session.h"

namespace ckhelper {

// A URI as p11-kit parsed it. The pin-value p11-kit decoded is wiped before p11-kit frees it.
class ParsedUri {
public:
    ParsedUri();  // throws std::bad_alloc
    ~ParsedUri();
    ParsedUri(const ParsedUri &) = delete;
    ParsedUri &operator=(const ParsedUri &) = delete;
    ParsedUri(ParsedUri &&) = delete;
    ParsedUri &operator=(ParsedUri &&) = delete;

    // Parses `text`: null when it is sound, else what is wrong with it. A URI that names an
    // object is refused unless `objects`; so is one with an attribute p11-kit does not know
    // (it would match nothing), and one whose pin-value p11-kit would cut at a zero byte or
    // keep only in part (a repeated pin-value), which is refused before p11-kit copies it.
    const char *Parse(const char *text, bool objects);

    // Whether its module-path or module-name names another module than the bound one.
    [[nodiscard]] bool NamesAnotherModule() const;

    // The PIN it gives: its pin-value, or the first line of the regular file its pin-source
    // names (a path, or a file: URI of this host), read into `buffer`. CKR_OK with no PIN when it
    // gives none; CKR_ARGUMENTS_BAD when the file cannot be read, is not a regular file, or the
    // PIN holds a zero byte.
    CK_RV Pin(WipedText &buffer, std::optional<std::string_view> &pin) const;

    [[nodiscard]] P11KitUri *Get() const { return uri_; }

    // The longest PIN file read.
    static constexpr std::size_t kMaxPinFile = 1024;

private:
    P11KitUri *uri_;
};

// The value of each pin-value in a URI's text, in its path or its query (p11-kit takes it from
// either), as views into the text.
std::vector<std::string_view> PinValues(std::string_view text);

// The slots with a token present, in the provider's order, whose library, slot and token the
// URI's attributes match, in p11-kit's order of matching: library, slot ID, slot, token.
CK_RV MatchingSlots(const CK_FUNCTION_LIST &p11, const ParsedUri &uri,
                    std::vector<CK_SLOT_ID> &slots);

}  // namespace ckhelper

#endif

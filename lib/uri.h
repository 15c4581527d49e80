// PKCS#11 URIs (RFC 7512), parsed and matched by p11-kit: what the URI functions share.
#ifndef LIB_URI_H
#define LIB_URI_H

#include <p11-kit/uri.h>

#include <optional>
#include <string>
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

    // Parses `text`: empty when it is sound, else what is wrong with it, as a sentence's
    // predicate ("is not a PKCS#11 URI: ..."). Refused besides what p11-kit cannot parse: what
    // p11-kit would read otherwise than it is written (blanks and line breaks, which it drops; an
    // attribute given twice, of which it keeps the last; a pin-value with a zero byte, which it
    // cuts; a slot-id beyond CK_SLOT_ID, which it wraps), what would silently match nothing (an
    // attribute p11-kit does not know, a value longer than its field), and object attributes
    // unless `objects`. A refused pin-value is never copied by p11-kit.
    std::string Parse(const char *text, bool objects);

    // Whether its module-path or module-name names another module than the bound one.
    [[nodiscard]] bool NamesAnotherModule() const;

    // The PIN it gives: its pin-value, or the first line of the regular file its pin-source
    // names (a path, or a file: URI of this host; one trailing CR is not part of it), read into
    // `buffer`. CKR_OK with no PIN when it gives none; CKR_ARGUMENTS_BAD when the file cannot be
    // read, is not a regular file, or its first line is empty, too long or holds a zero byte;
    // `reason` (when not null) then says which, naming the file.
    CK_RV Pin(WipedText &buffer, std::optional<std::string_view> &pin,
              std::string *reason = nullptr) const;

    [[nodiscard]] P11KitUri *Get() const { return uri_; }

    // The longest first line read from a PIN file.
    static constexpr std::size_t kMaxPinFile = 1024;

private:
    P11KitUri *uri_;
};

// The value of each pin-value in a URI's text, in its path or its query (p11-kit takes it from
// either), as views into the text.
std::vector<std::string_view> PinValues(std::string_view text);

// The text with each pin-value's value shown as "****", for messages and records.
std::string WithoutPins(std::string_view text);

// The slots with a token present, in the provider's order, whose library, slot and token the
// URI's attributes match, in p11-kit's order of matching: library, slot ID, slot, token. A slot
// whose slot or token information cannot be read (a reader holding a foreign card, a device
// error) matches nothing; so does an uninitialised token when `initialisedOnly`.
CK_RV MatchingSlots(const CK_FUNCTION_LIST &p11, const ParsedUri &uri,
                    std::vector<CK_SLOT_ID> &slots, bool initialisedOnly = false);

}  // namespace ckhelper

#endif

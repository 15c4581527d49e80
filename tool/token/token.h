// Choosing the token a run draws from, and the PIN its URI gives.
#ifndef TOOL_TOKEN_H
#define TOOL_TOKEN_H

#include <p11-kit/pkcs11.h>

#include <optional>
#include <string>
#include <string_view>

#include "options/options.h"
#include "report.h"
#include "status.h"
#include "uri.h"

namespace randdump {

// The PIN of a --token URI, read before any module is loaded; wiped, with every copy of it,
// when this goes.
class TokenPin {
public:
    TokenPin() = default;
    ~TokenPin() = default;
    TokenPin(const TokenPin &) = delete;
    TokenPin &operator=(const TokenPin &) = delete;
    TokenPin(TokenPin &&) = delete;
    TokenPin &operator=(TokenPin &&) = delete;

    // Takes the PIN from `uri` (its pin-value, or the first line of the file its pin-source
    // names), then blanks the pin-value in `uri` itself, so that the command line no longer
    // shows it. False when the pin-source cannot be read; `reason` then says why.
    bool Read(char *uri, std::string &reason);
    [[nodiscard]] std::optional<std::string_view> Get() const { return pin_; }

private:
    ckhelper::ParsedUri uri_;
    ckhelper::WipedText file_{ckhelper::ParsedUri::kMaxPinFile + 1};
    std::optional<std::string_view> pin_;
};

// The slot the options choose: slot ID 0, the --slot, or the one initialised token that the
// --token URI matches. When there is none, or more than one, or the token chosen has no random
// number generator, says so on standard error and gives no slot, with `status` set.
std::optional<CK_SLOT_ID> ChooseSlot(const CK_FUNCTION_LIST &p11, const Options &options,
                                     ExitStatus &status, Report &report);

}  // namespace randdump

#endif

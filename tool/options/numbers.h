// Numbers on the command line, read strictly: a typo is refused, never read as something else.
#ifndef TOOL_NUMBERS_H
#define TOOL_NUMBERS_H

#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <optional>
#include <string_view>

namespace randdump {

// A slot ID in decimal, or in hexadecimal after "0x": digits only, no sign, no blanks, within
// the range of CK_SLOT_ID. A leading 0 is decimal, not octal.
std::optional<CK_SLOT_ID> ParseSlotId(std::string_view text);

// A size in bytes: decimal digits, then optionally K, M, G or T (powers of 1,024, as head -c
// reads them) or KB, MB, GB or TB (powers of 1,000). Nothing when it does not fit 64 bits.
std::optional<std::uint64_t> ParseSize(std::string_view text);

}  // namespace randdump

#endif

// Numbers on the command line, read strictly: a typo is refused, never read as something else.
#ifndef TOOL_NUMBERS_H
#define TOOL_NUMBERS_H

#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

namespace randdump {

// A slot ID in decimal, or in hexadecimal after "0x": digits only, no sign, no blanks, within
// the range of CK_SLOT_ID. A leading 0 is decimal, not octal.
std::optional<CK_SLOT_ID> ParseSlotId(std::string_view text);

// The largest size: what a file offset can reach.
constexpr std::uint64_t kMaxSize = std::numeric_limits<std::int64_t>::max();

// A size in bytes, as head -c reads one: decimal digits, then optionally K, k, KiB, M, MiB, G,
// GiB, T or TiB (powers of 1,024) or KB, kB, MB, GB or TB (powers of 1,000). Nothing above
// kMaxSize.
std::optional<std::uint64_t> ParseSize(std::string_view text);

}  // namespace randdump

#endif

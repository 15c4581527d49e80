#include "options/numbers.h"

#include <array>
#include <limits>
#include <utility>

namespace randdump {
namespace {

// Digits of `base` only, at least one, without overflowing `max`.
std::optional<std::uint64_t> ParseDigits(std::string_view digits, unsigned base, std::uint64_t max)
{
    if (digits.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : digits) {
        unsigned digit = base;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        }
        if (digit >= base || value > (max - digit) / base) {
            return std::nullopt;
        }
        value = value * base + digit;
    }
    return value;
}

}  // namespace

std::optional<CK_SLOT_ID> ParseSlotId(std::string_view text)
{
    constexpr std::uint64_t kMax = std::numeric_limits<CK_SLOT_ID>::max();
    if (text.starts_with("0x") || text.starts_with("0X")) {
        return ParseDigits(text.substr(2), 16, kMax);
    }
    return ParseDigits(text, 10, kMax);
}

std::optional<std::uint64_t> ParseSize(std::string_view text)
{
    constexpr std::array<std::pair<std::string_view, std::uint64_t>, 8> kSuffixes{{
        {"KB", 1000ULL},
        {"MB", 1000ULL * 1000},
        {"GB", 1000ULL * 1000 * 1000},
        {"TB", 1000ULL * 1000 * 1000 * 1000},
        {"K", 1ULL << 10U},
        {"M", 1ULL << 20U},
        {"G", 1ULL << 30U},
        {"T", 1ULL << 40U},
    }};
    std::uint64_t unit = 1;
    for (const auto &[suffix, factor] : kSuffixes) {
        if (text.ends_with(suffix)) {
            text.remove_suffix(suffix.size());
            unit = factor;
            break;
        }
    }
    const std::optional<std::uint64_t> count =
        ParseDigits(text, 10, std::numeric_limits<std::uint64_t>::max() / unit);
    if (!count) {
        return std::nullopt;
    }
    return *count * unit;
}

}  // namespace randdump

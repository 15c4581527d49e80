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
    constexpr std::uint64_t kKi = 1024;
    constexpr std::uint64_t kK = 1000;
    constexpr std::array<std::pair<std::string_view, std::uint64_t>, 14> kSuffixes{{
        {"KiB", kKi},
        {"MiB", kKi * kKi},
        {"GiB", kKi * kKi * kKi},
        {"TiB", kKi * kKi * kKi * kKi},
        {"kB", kK},
        {"KB", kK},
        {"MB", kK * kK},
        {"GB", kK * kK * kK},
        {"TB", kK * kK * kK * kK},
        {"k", kKi},
        {"K", kKi},
        {"M", kKi * kKi},
        {"G", kKi * kKi * kKi},
        {"T", kKi * kKi * kKi * kKi},
    }};
    std::uint64_t unit = 1;
    for (const auto &[suffix, factor] : kSuffixes) {
        if (text.ends_with(suffix)) {
            text.remove_suffix(suffix.size());
            unit = factor;
            break;
        }
    }
    const std::optional<std::uint64_t> count = ParseDigits(text, 10, kMaxSize / unit);
    if (!count) {
        return std::nullopt;
    }
    return *count * unit;
}

}  // namespace randdump

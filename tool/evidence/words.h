// Bytes taken eight at a time: what the health checks share to stay fast.
#ifndef TOOL_EVIDENCE_WORDS_H
#define TOOL_EVIDENCE_WORDS_H

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

// Several builds of a function, for processors with and without an instruction set, chosen
// when the program starts.
// NOLINTBEGIN(cppcoreguidelines-macro-usage): an attribute, which no template can give
#ifdef __x86_64__
#define RANDDUMP_CLONES(...) __attribute__((target_clones(__VA_ARGS__)))
#else
#define RANDDUMP_CLONES(...)
#endif
// NOLINTEND(cppcoreguidelines-macro-usage)

namespace randdump::words {

// How much the checks take at a step: eight bytes, AVX2's 32 or AVX-512's 64 (with the popcount
// of eight words at once).
enum class Width : unsigned char { kWord, kAvx2, kAvx512 };

// The widest this processor has.
inline Width Widest()
{
#ifdef __x86_64__
    static const Width kWidest =
        __builtin_cpu_supports("avx512bw") != 0 && __builtin_cpu_supports("avx512vpopcntdq") != 0
            ? Width::kAvx512
        : __builtin_cpu_supports("avx2") != 0 ? Width::kAvx2
                                              : Width::kWord;
    return kWidest;
#else
    return Width::kWord;
#endif
}

// Each width up to the widest, narrowest first: the paths the tests hold against each other.
inline std::vector<Width> Widths()
{
    std::vector<Width> widths{Width::kWord};
    while (widths.back() < Widest()) {
        widths.push_back(static_cast<Width>(static_cast<unsigned>(widths.back()) + 1));
    }
    return widths;
}

constexpr const char *Name(Width width)
{
    return width == Width::kAvx512 ? "AVX-512" : width == Width::kAvx2 ? "AVX2" : "words";
}

constexpr std::uint64_t kOnes = 0x0101010101010101U;
constexpr std::uint64_t kHighs = 0x8080808080808080U;
constexpr std::uint64_t kLows7 = 0x7F7F7F7F7F7F7F7FU;

// Eight bytes in memory order, the first in the lowest bits.
inline std::uint64_t Load(const std::byte *bytes)
{
    std::uint64_t word = 0;
    std::memcpy(&word, bytes, sizeof word);
    if constexpr (std::endian::native == std::endian::big) {
        word = __builtin_bswap64(word);
    }
    return word;
}

// Eight bytes with the first one's most significant bit first: the bit order of a bit stream.
inline std::uint64_t LoadBits(const std::byte *bytes)
{
    return __builtin_bswap64(Load(bytes));
}

// 0x80 in each byte of `word` that is zero, 0 in the others.
constexpr std::uint64_t ZeroBytes(std::uint64_t word)
{
    return ~(((word & kLows7) + kLows7) | word) & kHighs;
}

// How many bytes of `word` are zero.
constexpr unsigned CountZeroBytes(std::uint64_t word)
{
    return static_cast<unsigned>(((ZeroBytes(word) >> 7U) * kOnes) >> 56U);
}

}  // namespace randdump::words

#endif

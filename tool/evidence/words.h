// Bytes taken eight at a time: what the health checks share to stay fast.
#ifndef TOOL_EVIDENCE_WORDS_H
#define TOOL_EVIDENCE_WORDS_H

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

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

// Whether the processor has AVX2, for the checks' fastest paths; the others take eight bytes at
// a time.
inline bool Vectors()
{
#ifdef __x86_64__
    static const bool kVectors = __builtin_cpu_supports("avx2") != 0;
    return kVectors;
#else
    return false;
#endif
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

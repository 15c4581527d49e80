#include "evidence/fips.h"

#ifdef __x86_64__
#include <immintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cstring>

#include "evidence/words.h"

namespace randdump {
namespace {

constexpr std::size_t kBits = Fips140::kBlockBytes * 8;
constexpr std::size_t kFullWords = Fips140::kBlockBytes / 8;  // and 4 bytes more
constexpr std::size_t kWords = kFullWords + 1;

// rng-tools' bounds: passing values lie strictly between them (FIPS 140-2, change notice 1).
constexpr unsigned kMonobitLow = 9725;
constexpr unsigned kMonobitHigh = 10275;
constexpr unsigned kPokerLow = 1563176;  // the sum of the squared nibble counts
constexpr unsigned kPokerHigh = 1576928;
constexpr std::array<std::array<unsigned, 2>, 6> kRunBounds{
    {{2315, 2685}, {1114, 1386}, {527, 723}, {240, 384}, {103, 209}, {103, 209}}};
constexpr unsigned kLongRun = 26;

// Sixteen counters side by side, one per nibble value: added as one vector.
using NibbleCounts = std::uint16_t __attribute__((vector_size(32)));
using NibbleRow = std::array<std::uint16_t, 16>;

// What a byte adds to the nibble counters: one for its high nibble, one for its low.
constexpr std::array<NibbleRow, 256> kNibbles = [] {
    std::array<NibbleRow, 256> table{};
    for (unsigned value = 0; value < 256; ++value) {
        ++table[value][value >> 4U];
        ++table[value][value & 15U];
    }
    return table;
}();

void Count(NibbleCounts &counts, std::byte value)
{
    NibbleCounts row;
    std::memcpy(&row, kNibbles[static_cast<std::uint8_t>(value)].data(), sizeof row);
    counts += row;
}

// How often each nibble value occurs: the counters stay in vector registers, four sets of them
// so that no add waits on the one before.
RANDDUMP_CLONES("avx2", "default")
std::array<unsigned, 16> CountNibbles(std::span<const std::byte> bytes)
{
    NibbleCounts first{};
    NibbleCounts second{};
    NibbleCounts third{};
    NibbleCounts fourth{};
    std::size_t at = 0;
    for (; at + 4 <= bytes.size(); at += 4) {
        Count(first, bytes[at]);
        Count(second, bytes[at + 1]);
        Count(third, bytes[at + 2]);
        Count(fourth, bytes[at + 3]);
    }
    for (; at < bytes.size(); ++at) {
        Count(first, bytes[at]);
    }
    const NibbleCounts sums = first + second + third + fourth;
    std::array<unsigned, 16> counts{};
    for (unsigned nibble = 0; nibble < 16; ++nibble) {
        counts[nibble] = sums[nibble];
    }
    return counts;
}

// The block's bits, most significant first, laid out for the run counting: bits[0] is a word
// whose last bit is unlike the block's first, bits[1 + i] is word i, and zeros follow, so that
// eight words and their neighbours can be loaded at any step.
constexpr std::size_t kLaidOut = 328;
using Bits = std::array<std::uint64_t, kLaidOut>;

constexpr unsigned kTailBits = (Fips140::kBlockBytes % 8) * 8;
constexpr std::uint64_t kTailMask = ~std::uint64_t{0} << (64U - kTailBits);

// Where runs may start (every bit of the block), and where a bit has a next one to equal: by
// word, zero past the block.
constexpr std::array<std::uint64_t, kLaidOut> ValidMask(std::uint64_t tail)
{
    std::array<std::uint64_t, kLaidOut> mask{};
    for (std::size_t at = 0; at < kFullWords; ++at) {
        mask[at] = ~std::uint64_t{0};
    }
    mask[kFullWords] = tail;
    return mask;
}
constexpr std::array<std::uint64_t, kLaidOut> kStartable = ValidMask(kTailMask);
constexpr std::array<std::uint64_t, kLaidOut> kFollowed = ValidMask(kTailMask << 1U);

// Cloned for AVX2, whose byte shuffles swap four words at once.
RANDDUMP_CLONES("avx2", "default")
void LayOut(std::span<const std::byte, Fips140::kBlockBytes> block, Bits &bits)
{
    for (std::size_t at = 0; at < kFullWords; ++at) {
        bits[1 + at] = words::LoadBits(&block[at * 8]);
    }
    std::array<std::byte, 8> tail{};
    std::memcpy(tail.data(), &block[kFullWords * 8], Fips140::kBlockBytes % 8);
    bits[1 + kFullWords] = words::LoadBits(tail.data());
    bits[0] = (bits[1] >> 63U) ^ 1U;
    std::fill(bits.begin() + 2 + kFullWords, bits.end(), 0);
}

// Bits p + i of a stream of words, for each bit p of the word whose next is `next` (0 < i < 64).
constexpr std::uint64_t Ahead(std::uint64_t word, std::uint64_t next, unsigned i)
{
    return (word << i) | (next >> (64U - i));
}

// D of word `at`: whether each bit equals the one after it, within the block.
constexpr std::uint64_t Same(const Bits &bits, std::size_t at)
{
    return ~(bits[at + 1] ^ Ahead(bits[at + 1], bits[at + 2], 1)) & kFollowed[at];
}

// Runs of at least 1 to 6 bits, of ones and of either value, word-parallel: a run starts at bit
// p (S) where p differs from the bit before; it is L bits or longer where bits p to p + L - 1
// are equal, that is where D holds from p to p + L - 2.
struct Runs {
    std::array<std::uint64_t, 6> ones{};
    std::array<std::uint64_t, 6> all{};
    bool maybeLong = false;  // D has two whole bytes of ones side by side
};

// Word by word; cloned for processors with popcnt, which is most of the work.
RANDDUMP_CLONES("popcnt", "default") Runs CountRunsByWord(const Bits &bits)
{
    // Of either value in the low half of a counter, of ones in the high half, so that the six
    // counters stay in registers.
    std::uint64_t c1 = 0;
    std::uint64_t c2 = 0;
    std::uint64_t c3 = 0;
    std::uint64_t c4 = 0;
    std::uint64_t c5 = 0;
    std::uint64_t c6 = 0;
    const auto count = [](std::uint64_t starts, std::uint64_t word) {
        return static_cast<std::uint64_t>(std::popcount(starts)) +
               (static_cast<std::uint64_t>(std::popcount(starts & word)) << 32U);
    };
    Runs runs;
    std::uint64_t wholeBefore = 0;
    for (std::size_t at = 0; at < kWords; ++at) {
        const std::uint64_t word = bits[at + 1];
        const std::uint64_t d = Same(bits, at);
        const std::uint64_t next = Same(bits, at + 1);
        std::uint64_t starts = (word ^ ((word >> 1U) | (bits[at] << 63U))) & kStartable[at];
        c1 += count(starts, word);
        starts &= d;
        c2 += count(starts, word);
        starts &= Ahead(d, next, 1);
        c3 += count(starts, word);
        starts &= Ahead(d, next, 2);
        c4 += count(starts, word);
        starts &= Ahead(d, next, 3);
        c5 += count(starts, word);
        starts &= Ahead(d, next, 4);
        c6 += count(starts, word);
        const std::uint64_t whole = words::ZeroBytes(~d);
        runs.maybeLong = runs.maybeLong || (whole & (whole << 8U)) != 0 ||
                         ((wholeBefore & 0x80U) != 0 && (whole >> 63U) != 0);
        wholeBefore = whole;
    }
    std::size_t length = 0;
    for (const std::uint64_t counter : {c1, c2, c3, c4, c5, c6}) {
        runs.all[length] = counter & 0xFFFFFFFFU;
        runs.ones[length++] = counter >> 32U;
    }
    return runs;
}

#ifdef __x86_64__
// Four words at a time, in AVX2's vectors: the popcounts by nibble tables (vpshufb) into byte
// counters, widened before they could overflow.
#define RANDDUMP_AVX2 __attribute__((target("avx2"), always_inline)) inline

RANDDUMP_AVX2 __m256i Load(const std::uint64_t *from)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(from));
}

// The popcount of each byte, from its low and its high nibble, each in the low half of a byte.
RANDDUMP_AVX2 __m256i BytePopcounts(__m256i low, __m256i high)
{
    const __m256i popcounts = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 0, 1,
                                               1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
    return _mm256_add_epi8(_mm256_shuffle_epi8(popcounts, low),
                           _mm256_shuffle_epi8(popcounts, high));
}

// A mask as its bytes' low nibbles and their high nibbles, each in the low half of a byte, as
// the popcount table takes them. Split once: an AND keeps a split mask split.
struct Split {
    __m256i low;
    __m256i high;
};

RANDDUMP_AVX2 Split SplitNibbles(__m256i x)
{
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    return {_mm256_and_si256(x, nibble), _mm256_and_si256(_mm256_srli_epi16(x, 4), nibble)};
}

RANDDUMP_AVX2 Split And(Split mask, __m256i with)
{
    return {_mm256_and_si256(mask.low, with),
            _mm256_and_si256(mask.high, _mm256_srli_epi16(with, 4))};
}

// D of four words, from the words and those after them.
RANDDUMP_AVX2 __m256i Same(__m256i word, __m256i next, __m256i followed)
{
    const __m256i ahead = _mm256_or_si256(_mm256_slli_epi64(word, 1), _mm256_srli_epi64(next, 63));
    return _mm256_andnot_si256(_mm256_xor_si256(word, ahead), followed);
}

template <int I>
RANDDUMP_AVX2 __m256i Ahead(__m256i d, __m256i next)
{
    return _mm256_or_si256(_mm256_slli_epi64(d, I), _mm256_srli_epi64(next, 64 - I));
}

// Adds the runs a mask marks to the byte counters: of either value, and of ones.
RANDDUMP_AVX2 void CountStarts(Split starts, Split word, __m256i &all, __m256i &ones)
{
    all = _mm256_add_epi8(all, BytePopcounts(starts.low, starts.high));
    ones = _mm256_add_epi8(ones, BytePopcounts(_mm256_and_si256(starts.low, word.low),
                                               _mm256_and_si256(starts.high, word.high)));
}

RANDDUMP_AVX2 std::uint64_t Sum(__m256i wide)
{
    std::array<std::uint64_t, 4> lanes{};
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(lanes.data()), wide);
    return lanes[0] + lanes[1] + lanes[2] + lanes[3];
}

// A byte counter's sum, which it then starts again from; by reference in a function inlined, as a
// counter whose address is taken would be kept in memory.
RANDDUMP_AVX2 std::uint64_t Widen(__m256i &counter)
{
    const std::uint64_t sum = Sum(_mm256_sad_epu8(counter, _mm256_setzero_si256()));
    counter = _mm256_setzero_si256();
    return sum;
}

__attribute__((target("avx2"))) Runs CountRunsAvx2(const Bits &bits)
{
    const __m256i zero = _mm256_setzero_si256();
    const __m256i allOnes = _mm256_set1_epi8(-1);
    // Byte counters, by length from 1 to 6, of either value (a) and of ones (o).
    __m256i a1 = zero;
    __m256i a2 = zero;
    __m256i a3 = zero;
    __m256i a4 = zero;
    __m256i a5 = zero;
    __m256i a6 = zero;
    __m256i o2 = zero;
    __m256i o3 = zero;
    __m256i o4 = zero;
    __m256i o5 = zero;
    __m256i o6 = zero;
    std::array<std::uint64_t, 6> allWide{};
    std::array<std::uint64_t, 6> onesWide{};
    __m256i maybeLong = zero;
    // A byte counter gains at most 8 a step: 31 steps fit.
    constexpr unsigned kStepsPerWidening = 31;
    unsigned steps = 0;
    for (std::size_t at = 0; at < kWords; at += 4) {
        const __m256i before = Load(&bits[at]);
        const __m256i word = Load(&bits[at + 1]);
        const __m256i next = Load(&bits[at + 2]);
        const __m256i d = Same(word, next, Load(&kFollowed[at]));
        const __m256i dNext = Same(next, Load(&bits[at + 3]), Load(&kFollowed[at + 1]));
        Split starts = SplitNibbles(_mm256_and_si256(
            _mm256_xor_si256(
                word, _mm256_or_si256(_mm256_srli_epi64(word, 1), _mm256_slli_epi64(before, 63))),
            Load(&kStartable[at])));
        // The high nibbles need no mask: the starts' are clear above them.
        const Split value{word, _mm256_srli_epi16(word, 4)};
        a1 = _mm256_add_epi8(a1, BytePopcounts(starts.low, starts.high));
        starts = And(starts, d);
        CountStarts(starts, value, a2, o2);
        starts = And(starts, Ahead<1>(d, dNext));
        CountStarts(starts, value, a3, o3);
        starts = And(starts, Ahead<2>(d, dNext));
        CountStarts(starts, value, a4, o4);
        starts = And(starts, Ahead<3>(d, dNext));
        CountStarts(starts, value, a5, o5);
        starts = And(starts, Ahead<4>(d, dNext));
        CountStarts(starts, value, a6, o6);
        // Whole bytes of D that are all ones: side by side in a word, or across the boundary
        // to the next word.
        const __m256i whole = _mm256_cmpeq_epi8(d, allOnes);
        const __m256i wholeNext = _mm256_cmpeq_epi8(dNext, allOnes);
        maybeLong = _mm256_or_si256(
            maybeLong, _mm256_or_si256(_mm256_and_si256(whole, _mm256_slli_epi64(whole, 8)),
                                       _mm256_and_si256(_mm256_slli_epi64(whole, 56), wholeNext)));
        if (++steps == kStepsPerWidening || at + 4 >= kWords) {
            allWide[0] += Widen(a1);
            allWide[1] += Widen(a2);
            allWide[2] += Widen(a3);
            allWide[3] += Widen(a4);
            allWide[4] += Widen(a5);
            allWide[5] += Widen(a6);
            onesWide[1] += Widen(o2);
            onesWide[2] += Widen(o3);
            onesWide[3] += Widen(o4);
            onesWide[4] += Widen(o5);
            onesWide[5] += Widen(o6);
            steps = 0;
        }
    }
    // Runs of ones and of zeros take turns from the first bit's value: the runs of ones are half
    // of them, the odd one included when the first is a one.
    onesWide[0] = (allWide[0] + (bits[1] >> 63U)) / 2;
    Runs runs;
    runs.all = allWide;
    runs.ones = onesWide;
    runs.maybeLong = _mm256_testz_si256(maybeLong, maybeLong) == 0;
    return runs;
}

// Eight words at a time, in AVX-512's vectors, where a popcount is one instruction a word.
using Lanes = std::uint64_t __attribute__((vector_size(64)));

__attribute__((target("avx512f"), always_inline)) inline void Load(Lanes &to,
                                                                   const std::uint64_t *from)
{
    std::memcpy(&to, from, sizeof to);
}

__attribute__((target("avx512f,avx512bw,avx512vpopcntdq"))) Runs CountRunsAvx512(const Bits &bits)
{
    std::array<Lanes, 6> all{};
    std::array<Lanes, 6> ones{};
    std::uint64_t maybeLong = 0;
    for (std::size_t at = 0; at < kWords; at += 8) {
        Lanes before{};
        Lanes word{};
        Lanes next{};
        Lanes after{};
        Lanes followed{};
        Lanes followedNext{};
        Lanes starts{};
        Load(before, &bits[at]);
        Load(word, &bits[at + 1]);
        Load(next, &bits[at + 2]);
        Load(after, &bits[at + 3]);
        Load(followed, &kFollowed[at]);
        Load(followedNext, &kFollowed[at + 1]);
        Load(starts, &kStartable[at]);
        const Lanes d = ~(word ^ ((word << 1U) | (next >> 63U))) & followed;
        const Lanes dNext = ~(next ^ ((next << 1U) | (after >> 63U))) & followedNext;
        starts &= word ^ ((word >> 1U) | (before << 63U));
        for (unsigned length = 0; length < 6; ++length) {
            if (length > 0) {
                // Bit p + length - 1 of D: the run goes on one more bit.
                const unsigned i = length - 1;
                starts &= i == 0 ? d : (d << i) | (dNext >> (64U - i));
            }
            all.at(length) +=
                __builtin_bit_cast(Lanes, _mm512_popcnt_epi64(__builtin_bit_cast(__m512i, starts)));
            ones.at(length) += __builtin_bit_cast(
                Lanes, _mm512_popcnt_epi64(__builtin_bit_cast(__m512i, starts & word)));
        }
        // Whole bytes of D that are all ones, bit 8w + b for byte b of word w: side by side in
        // a word, or the last of a word and the first of the next.
        const __m512i allOnes = _mm512_set1_epi8(-1);
        const std::uint64_t whole = _mm512_cmpeq_epi8_mask(__builtin_bit_cast(__m512i, d), allOnes);
        const std::uint64_t wholeNext =
            _mm512_cmpeq_epi8_mask(__builtin_bit_cast(__m512i, dNext), allOnes);
        constexpr std::uint64_t kLowBytes = 0x0101010101010101U;
        maybeLong |=
            (whole & (whole >> 1U) & ~(kLowBytes << 7U)) | (whole & (wholeNext >> 7U) & kLowBytes);
    }
    Runs runs;
    for (std::size_t length = 0; length < 6; ++length) {
        for (unsigned lane = 0; lane < 8; ++lane) {
            runs.all.at(length) += all.at(length)[lane];
            runs.ones.at(length) += ones.at(length)[lane];
        }
    }
    runs.maybeLong = maybeLong != 0;
    return runs;
}

// Nibble values as one-hot 16-bit lanes, bit v for value v: a lane for each of 16 bytes'
// nibbles.
RANDDUMP_AVX2 void OneHot(__m256i nibbles, __m256i &first, __m256i &second)
{
    const __m256i low = _mm256_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2,
                                         4, 8, 16, 32, 64, -128, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i high = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 4, 8, 16, 32, 64, -128, 0,
                                          0, 0, 0, 0, 0, 0, 0, 1, 2, 4, 8, 16, 32, 64, -128);
    const __m256i a = _mm256_shuffle_epi8(low, nibbles);
    const __m256i b = _mm256_shuffle_epi8(high, nibbles);
    first = _mm256_unpacklo_epi8(a, b);
    second = _mm256_unpackhi_epi8(a, b);
}

// The four one-hot vectors of 32 bytes: of their low nibbles, then of their high ones.
RANDDUMP_AVX2 void OneHots(const std::byte *from, __m256i &a, __m256i &b, __m256i &c, __m256i &d)
{
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i value = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(from));
    OneHot(_mm256_and_si256(value, nibble), a, b);
    OneHot(_mm256_and_si256(_mm256_srli_epi16(value, 4), nibble), c, d);
}

// A carry-save adder: the sum bits of three inputs in `low`, their carries in `high`.
RANDDUMP_AVX2 void Add(__m256i &high, __m256i &low, __m256i a, __m256i b, __m256i c)
{
    const __m256i either = _mm256_xor_si256(a, b);
    high = _mm256_or_si256(_mm256_and_si256(a, b), _mm256_and_si256(either, c));
    low = _mm256_xor_si256(either, c);
}

// Bit v of every 16-bit lane, counted, for each v, times `weight`: bit b of each byte shifted to
// its top, where movemask finds it, in the low bytes for v = b and in the high ones for b + 8.
RANDDUMP_AVX2 void AddColumns(__m256i plane, unsigned weight, std::array<unsigned, 16> &counts)
{
    for (unsigned b = 0; b < 8; ++b) {
        const __m256i top = _mm256_sll_epi16(plane, _mm_cvtsi32_si128(static_cast<int>(7 - b)));
        const auto mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(top));
        counts[b] += static_cast<unsigned>(std::popcount(mask & 0x55555555U)) * weight;
        counts[b + 8] += static_cast<unsigned>(std::popcount(mask & 0xAAAAAAAAU)) * weight;
    }
}

// How often each nibble value occurs, bit-sliced: the one-hot lanes are added into counters
// that hold, in plane p, bit p of each lane's count of each value; a block's counts reach 312
// a lane at most, 9 planes. Sixty-four bytes a step, their eight one-hot vectors added by a tree
// of carry-save adders, so that a carry goes up the higher planes once a step.
__attribute__((target("avx2"))) std::array<unsigned, 16> CountNibblesAvx2(
    std::span<const std::byte> bytes)
{
    constexpr std::size_t kPlanes = 9;
    // NOLINTNEXTLINE(cppcoreguidelines-avoid-c-arrays,modernize-avoid-c-arrays)
    __m256i plane[kPlanes];
    for (__m256i &each : plane) {
        each = _mm256_setzero_si256();
    }
    std::size_t at = 0;
    for (; at + 64 <= bytes.size(); at += 64) {
        __m256i a{};
        __m256i b{};
        __m256i c{};
        __m256i d{};
        OneHots(&bytes[at], a, b, c, d);
        __m256i first{};
        __m256i second{};
        Add(first, plane[0], plane[0], a, b);
        Add(second, plane[0], plane[0], c, d);
        __m256i twos{};
        Add(twos, plane[1], plane[1], first, second);
        OneHots(&bytes[at + 32], a, b, c, d);
        Add(first, plane[0], plane[0], a, b);
        Add(second, plane[0], plane[0], c, d);
        __m256i twosToo{};
        Add(twosToo, plane[1], plane[1], first, second);
        __m256i carry{};
        Add(carry, plane[2], plane[2], twos, twosToo);
        for (std::size_t p = 3; p < kPlanes; ++p) {
            const __m256i next = _mm256_and_si256(plane[p], carry);
            plane[p] = _mm256_xor_si256(plane[p], carry);
            carry = next;
        }
    }
    std::array<unsigned, 16> counts = CountNibbles(bytes.subspan(at));
    for (std::size_t p = 0; p < kPlanes; ++p) {
        AddColumns(plane[p], 1U << p, counts);
    }
    return counts;
}

// The same in AVX-512's vectors, where a carry-save adder is two instructions: 128 nibbles a
// step, a block's counts reach 156 a lane at most, 8 planes.
__attribute__((target("avx512f,avx512bw"))) std::array<unsigned, 16> CountNibblesAvx512(
    std::span<const std::byte> bytes)
{
    constexpr std::size_t kPlanes = 8;
    // NOLINTNEXTLINE(cppcoreguidelines-avoid-c-arrays,modernize-avoid-c-arrays)
    __m512i plane[kPlanes];
    for (__m512i &each : plane) {
        each = _mm512_setzero_si512();
    }
    const __m512i nibble = _mm512_set1_epi8(0x0F);
    // Bit v of a value's byte for v below 8, in every 16 bytes; then for v from 8.
    constexpr auto kValues = [] {
        std::array<std::uint8_t, 128> values{};
        for (unsigned at = 0; at < 64; ++at) {
            values.at(at) = at % 16 < 8 ? static_cast<std::uint8_t>(1U << (at % 16)) : 0;
            values.at(64 + at) = at % 16 >= 8 ? static_cast<std::uint8_t>(1U << (at % 8)) : 0;
        }
        return values;
    }();
    const __m512i lowValues = _mm512_loadu_si512(kValues.data());
    const __m512i highValues = _mm512_loadu_si512(&kValues[64]);
    constexpr int kXor3 = 0x96;      // a ^ b ^ c
    constexpr int kMajority = 0xE8;  // at least two of a, b, c
    std::size_t at = 0;
    for (; at + 64 <= bytes.size(); at += 64) {
        const __m512i value = _mm512_loadu_si512(&bytes[at]);
        // NOLINTNEXTLINE(cppcoreguidelines-avoid-c-arrays,modernize-avoid-c-arrays)
        __m512i hot[4];
        for (std::size_t half = 0; half < 2; ++half) {
            const __m512i nibbles =
                _mm512_and_si512(half == 0 ? value : _mm512_srli_epi16(value, 4), nibble);
            const __m512i low = _mm512_shuffle_epi8(lowValues, nibbles);
            const __m512i high = _mm512_shuffle_epi8(highValues, nibbles);
            hot[2 * half] = _mm512_unpacklo_epi8(low, high);
            hot[2 * half + 1] = _mm512_unpackhi_epi8(low, high);
        }
        const __m512i carry = _mm512_ternarylogic_epi64(plane[0], hot[0], hot[1], kMajority);
        plane[0] = _mm512_ternarylogic_epi64(plane[0], hot[0], hot[1], kXor3);
        const __m512i carryToo = _mm512_ternarylogic_epi64(plane[0], hot[2], hot[3], kMajority);
        plane[0] = _mm512_ternarylogic_epi64(plane[0], hot[2], hot[3], kXor3);
        __m512i up = _mm512_ternarylogic_epi64(plane[1], carry, carryToo, kMajority);
        plane[1] = _mm512_ternarylogic_epi64(plane[1], carry, carryToo, kXor3);
        for (std::size_t p = 2; p < kPlanes; ++p) {
            const __m512i next = _mm512_and_si512(plane[p], up);
            plane[p] = _mm512_xor_si512(plane[p], up);
            up = next;
        }
    }
    std::array<unsigned, 16> counts = CountNibbles(bytes.subspan(at));
    for (std::size_t p = 0; p < kPlanes; ++p) {
        for (unsigned v = 0; v < 16; ++v) {
            const auto bit = static_cast<short>(1U << v);
            counts.at(v) += static_cast<unsigned>(std::popcount(
                                _mm512_test_epi16_mask(plane[p], _mm512_set1_epi16(bit))))
                            << p;
        }
    }
    return counts;
}

#undef RANDDUMP_AVX2
#endif

// Whether a run of kLongRun bits or more is in the block: where D holds kLongRun - 1 times.
// The span where D holds doubles with each pass, in place, to 16; then 16 from p and 16 from
// p + 9 make the 25.
bool LongRun(const Bits &bits)
{
    std::array<std::uint64_t, kWords + 1> held{};
    for (std::size_t at = 0; at < kWords; ++at) {
        held.at(at) = Same(bits, at);
    }
    constexpr unsigned kSpan = 16;
    for (unsigned span = 1; span < kSpan; span *= 2) {
        for (std::size_t at = 0; at < kWords; ++at) {
            held.at(at) &= Ahead(held.at(at), held.at(at + 1), span);
        }
    }
    for (std::size_t at = 0; at < kWords; ++at) {
        if ((held.at(at) & Ahead(held.at(at), held.at(at + 1), kLongRun - 1 - kSpan)) != 0) {
            return true;
        }
    }
    return false;
}

void CountRuns(std::span<const std::byte, Fips140::kBlockBytes> block,
               [[maybe_unused]] words::Width width, Fips140::Tally &tally)
{
    Bits bits;  // NOLINT(cppcoreguidelines-pro-type-member-init): every word is laid out
    LayOut(block, bits);
#ifdef __x86_64__
    const Runs runs = width == words::Width::kAvx512 ? CountRunsAvx512(bits)
                      : width == words::Width::kAvx2 ? CountRunsAvx2(bits)
                                                     : CountRunsByWord(bits);
#else
    const Runs runs = CountRunsByWord(bits);
#endif
    tally.longRun = runs.maybeLong && LongRun(bits);
    for (std::size_t length = 0; length < 6; ++length) {
        const bool last = length == 5;
        const std::uint64_t ones = runs.ones[length] - (last ? 0 : runs.ones[length + 1]);
        const std::uint64_t all = runs.all[length] - (last ? 0 : runs.all[length + 1]);
        tally.runs[0][length] = static_cast<unsigned>(all - ones);
        tally.runs[1][length] = static_cast<unsigned>(ones);
    }
}

}  // namespace

Fips140::Tally Fips140::Count(std::span<const std::byte, kBlockBytes> block,
                              [[maybe_unused]] words::Width width)
{
    static_assert(kBits == 20000);
    Tally tally;
#ifdef __x86_64__
    const std::array<unsigned, 16> nibbles =
        width == words::Width::kAvx512 ? CountNibblesAvx512(block)
        : width == words::Width::kAvx2 ? CountNibblesAvx2(block)
                                       : CountNibbles(block);
#else
    const std::array<unsigned, 16> nibbles = CountNibbles(block);
#endif
    for (unsigned nibble = 0; nibble < 16; ++nibble) {
        tally.ones += nibbles[nibble] * static_cast<unsigned>(std::popcount(nibble));
        tally.poker += nibbles[nibble] * nibbles[nibble];
    }
    CountRuns(block, width, tally);
    return tally;
}

unsigned Fips140::Judge(const Tally &tally)
{
    unsigned failed = tally.longRun ? kLongRun : 0U;
    if (tally.ones <= kMonobitLow || tally.ones >= kMonobitHigh) {
        failed |= kMonobit;
    }
    if (tally.poker < kPokerLow || tally.poker > kPokerHigh) {
        failed |= kPoker;
    }
    for (const auto &byValue : tally.runs) {
        for (std::size_t length = 0; length < byValue.size(); ++length) {
            if (byValue[length] < kRunBounds[length][0] ||
                byValue[length] > kRunBounds[length][1]) {
                failed |= kRuns;
            }
        }
    }
    return failed;
}

void Fips140::Counted(unsigned failed)
{
    tooMany_.Trial(failed != 0, blocks_ * kBlockBytes);
    if (failed != 0) {
        ++failures_;
        firstFailure_ = firstFailure_.value_or(blocks_ * kBlockBytes);
        for (unsigned test = 0; test < byTest_.size(); ++test) {
            byTest_.at(test) += (failed >> test) & 1U;
        }
    }
    ++blocks_;
}

std::uint64_t Fips140::Failures(Test test) const
{
    return byTest_.at(static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(test))));
}

void Fips140::Feed(std::span<const std::byte> bytes)
{
    if (held_ > 0) {
        const std::size_t take = std::min(kBlockBytes - held_, bytes.size());
        std::copy_n(bytes.begin(), take, partial_.begin() + static_cast<std::ptrdiff_t>(held_));
        held_ += take;
        bytes = bytes.subspan(take);
        if (held_ < kBlockBytes) {
            return;
        }
        Counted(Judge(Count(partial_, width_)));
        held_ = 0;
    }
    for (; bytes.size() >= kBlockBytes; bytes = bytes.subspan(kBlockBytes)) {
        Counted(Judge(Count(bytes.first<kBlockBytes>(), width_)));
    }
    std::copy(bytes.begin(), bytes.end(), partial_.begin());
    held_ = bytes.size();
}

}  // namespace randdump

#include "evidence/unfilled.h"

#ifdef __x86_64__
#include <immintrin.h>
#endif

#include <algorithm>
#include <bit>

namespace randdump {
namespace {

// A bit a byte, of the bytes of `word` that ZeroBytes() marked.
constexpr std::uint64_t ByteMask(std::uint64_t marked)
{
    return ((marked >> 7U) * 0x0102040810204080U) >> 56U;
}

}  // namespace

Unfilled::Unfilled(const Pattern &pattern, std::size_t block, words::Width width)
    : pattern_(pattern), block_(block), width_(width), counts_(block)
{
}

void Unfilled::Found(std::uint64_t offset)
{
    failure_ = std::min(failure_.value_or(offset), offset);
}

void Unfilled::Count(std::size_t at)
{
    // The block of `at` from the one of the byte counted before it, as they come in order: a
    // division only where they lie more than a block apart.
    const std::size_t ahead = at - blockStart_;
    if (ahead >= block_) {
        const std::size_t blocks = ahead < 2 * block_ ? 1 : ahead / block_;
        blockStart_ += blocks * block_;
        blocksIn_ += blocks;
    }
    const std::uint64_t block = blocksBefore_ + blocksIn_;
    const std::size_t position = at - blockStart_;
    if (block / kWindow != window_) {
        window_ = block / kWindow;
        std::fill(counts_.begin(), counts_.end(), 0);
    }
    std::uint8_t &count = counts_[position];
    if (count < kRecurring && ++count == kRecurring) {
        Found(offset_ + at);
    }
}

// Rare in a generator's output: about one byte in 256.
void Unfilled::Matched(std::uint64_t mask, std::size_t size, std::size_t at)
{
    std::size_t next = 0;  // the byte after the last one matched, in the mask
    while (mask != 0) {
        const auto bit = static_cast<std::size_t>(std::countr_zero(mask));
        mask &= mask - 1;
        if (bit != next || (bit == 0 && run_ == 0)) {
            run_ = 0;
            runStart_ = offset_ + at + bit;
        }
        if (++run_ == kRun) {
            Found(runStart_);
        }
        Count(at + bit);
        next = bit + 1;
    }
    if (next != size) {
        run_ = 0;
    }
}

std::size_t Unfilled::FeedWords(std::span<const std::byte> bytes, std::size_t at)
{
    const std::uint64_t low = words::Load(laid_.data());
    const std::uint64_t high = words::Load(&laid_[8]);
    for (; at + 16 <= bytes.size(); at += 16) {
        const std::uint64_t first = words::ZeroBytes(words::Load(&bytes[at]) ^ low);
        const std::uint64_t second = words::ZeroBytes(words::Load(&bytes[at + 8]) ^ high);
        if ((first | second) == 0) {
            run_ = 0;
            continue;
        }
        Matched(ByteMask(first) | (ByteMask(second) << 8U), 16, at);
    }
    return at;
}

#ifdef __x86_64__
__attribute__((target("avx2"))) std::size_t Unfilled::FeedAvx2(std::span<const std::byte> bytes)
{
    const __m256i laid = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(laid_.data()));
    std::size_t at = 0;
    for (; at + 64 <= bytes.size(); at += 64) {
        const auto *here = reinterpret_cast<const __m256i *>(&bytes[at]);
        const auto low = static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_loadu_si256(here), laid)));
        const auto high = static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_loadu_si256(here + 1), laid)));
        const std::uint64_t mask = low | (std::uint64_t{high} << 32U);
        if (mask == 0) {
            run_ = 0;
            continue;
        }
        Matched(mask, 64, at);
    }
    return at;
}

__attribute__((target("avx512f,avx512bw"))) std::size_t Unfilled::FeedAvx512(
    std::span<const std::byte> bytes)
{
    const __m512i laid = _mm512_loadu_si512(laid_.data());
    std::size_t at = 0;
    for (; at + 64 <= bytes.size(); at += 64) {
        const std::uint64_t mask = _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(&bytes[at]), laid);
        if (mask == 0) {
            run_ = 0;
            continue;
        }
        Matched(mask, 64, at);
    }
    return at;
}
#endif

void Unfilled::Feed(std::span<const std::byte> bytes, std::uint64_t offset)
{
    offset_ = offset;
    blockStart_ = 0;
    blocksIn_ = 0;
    for (std::size_t i = 0; i < laid_.size(); ++i) {
        laid_.at(i) = pattern_.at((offset + i) % kPattern);
    }
    std::size_t at = 0;
#ifdef __x86_64__
    if (width_ == words::Width::kAvx512) {
        at = FeedAvx512(bytes);
    } else if (width_ == words::Width::kAvx2) {
        at = FeedAvx2(bytes);
    }
#endif
    at = FeedWords(bytes, at);
    // What is left, under 16 bytes, one at a time: the pattern repeats every 16 bytes.
    std::uint64_t mask = 0;
    for (std::size_t i = at; i < bytes.size(); ++i) {
        mask |= std::uint64_t{bytes[i] == laid_.at(i % kPattern)} << (i - at);
    }
    if (at < bytes.size()) {
        if (mask == 0) {
            run_ = 0;
        } else {
            Matched(mask, bytes.size() - at, at);
        }
    }
    blocksBefore_ += (bytes.size() + block_ - 1) / block_;
}

}  // namespace randdump

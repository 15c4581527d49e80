#include "evidence/runs.h"

#ifdef __x86_64__
#include <immintrin.h>
#endif

#include <bit>

#include "evidence/words.h"

namespace randdump {

IdenticalRuns::IdenticalRuns(std::uint64_t counted, std::uint64_t stuck, words::Width width)
    : vectors_(width >= words::Width::kAvx2), countedCutoff_(counted), stuckCutoff_(stuck)
{
}

void IdenticalRuns::Step(std::byte value, std::uint64_t offset)
{
    if (started_ && value == last_) {
        ++length_;
    } else {
        started_ = true;
        last_ = value;
        length_ = 1;
        start_ = offset;
    }
    if (length_ == countedCutoff_) {
        ++counted_;
        firstCounted_ = firstCounted_.value_or(start_);
        tooMany_.Trial(true, start_);
    }
    if (length_ == stuckCutoff_ && !firstStuck_) {
        firstStuck_ = start_;
    }
}

#ifdef __x86_64__
// A bit for each of 32 bytes: whether it equals the byte before it.
__attribute__((target("avx2"), always_inline)) inline std::uint64_t EqualToBefore(
    const std::byte *bytes)
{
    const auto *here = reinterpret_cast<const __m256i *>(bytes);
    const auto *before = reinterpret_cast<const __m256i *>(bytes - 1);
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(
        _mm256_cmpeq_epi8(_mm256_loadu_si256(here), _mm256_loadu_si256(before))));
}

// A hundred and twenty-eight bytes at a time: a mask of the bytes equal to the one before, in two
// words; a run is followed byte by byte only where it could reach the counted length. Between,
// only the length of the run the bytes end in is kept, in a register.
__attribute__((target("avx2"))) std::size_t IdenticalRuns::FeedVectors(
    std::span<const std::byte> bytes, std::size_t at)
{
    constexpr std::size_t kStep = 128;
    std::uint64_t length = length_;
    // The members again as Step() keeps them: the run the bytes before `at` end in.
    const auto settle = [&] {
        last_ = bytes[at - 1];
        length_ = length;
        start_ = fed_ + at - length;
    };
    for (; at + kStep <= bytes.size(); at += kStep) {
        const std::uint64_t low =
            EqualToBefore(&bytes[at]) | (EqualToBefore(&bytes[at + 32]) << 32U);
        const std::uint64_t high =
            EqualToBefore(&bytes[at + 64]) | (EqualToBefore(&bytes[at + 96]) << 32U);
        // Two bytes in a row equal to the ones before them, rare in random data, before the
        // exact search: a branch that is nearly always the same way.
        std::uint64_t longLow = low;
        std::uint64_t longHigh = high;
        for (std::uint64_t i = 2; i < countedCutoff_ && (longLow | longHigh) != 0; ++i) {
            longHigh &= (longHigh << 1U) | (longLow >> 63U);
            longLow &= longLow << 1U;
        }
        const auto carried = static_cast<std::uint64_t>(std::countr_one(low));
        if ((longLow | longHigh) != 0 || length + carried >= countedCutoff_) {
            settle();
            for (std::size_t i = at; i < at + kStep; ++i) {
                Step(bytes[i], fed_ + i);
            }
            length = length_;
            continue;
        }
        // No run here reaches the counted length: only the one the last bytes make goes on.
        length = static_cast<std::uint64_t>(std::countl_one(high)) + 1;
    }
    settle();
    return at;
}
#endif

void IdenticalRuns::Feed(std::span<const std::byte> bytes)
{
    if (bytes.empty()) {
        return;
    }
    std::size_t at = 0;
    if (!started_) {
        Step(bytes[0], fed_);
        at = 1;
    }
#ifdef __x86_64__
    if (vectors_ && at == 0) {
        Step(bytes[0], fed_);  // the vectors compare each byte with the one before
        at = 1;
    }
    if (vectors_) {
        at = FeedVectors(bytes, at);
    }
#endif
    // Eight bytes at a time while none equals the one before it, as in random data nearly all
    // words; a word with a repeat is stepped through byte by byte.
    for (; at + 8 <= bytes.size(); at += 8) {
        const std::uint64_t word = words::Load(&bytes[at]);
        const std::uint64_t before = (word << 8U) | static_cast<std::uint8_t>(last_);
        if (words::ZeroBytes(word ^ before) == 0) {
            last_ = bytes[at + 7];
            length_ = 1;
            start_ = fed_ + at + 7;
            continue;
        }
        for (std::size_t i = at; i < at + 8; ++i) {
            Step(bytes[i], fed_ + i);
        }
    }
    for (; at < bytes.size(); ++at) {
        Step(bytes[at], fed_ + at);
    }
    fed_ += bytes.size();
}

}  // namespace randdump

#include "evidence/proportion.h"

#ifdef __x86_64__
#include <immintrin.h>
#endif

#include <algorithm>
#include <bit>

#include "evidence/words.h"

namespace randdump {
namespace {

// How many bytes of `bytes` equal `value`, eight at a time.
std::size_t CountWords(const std::byte *bytes, std::size_t size, std::byte value)
{
    const std::uint64_t spread = words::kOnes * static_cast<std::uint8_t>(value);
    std::size_t count = 0;
    std::size_t at = 0;
    for (; at + 8 <= size; at += 8) {
        count += words::CountZeroBytes(words::Load(bytes + at) ^ spread);
    }
    for (; at < size; ++at) {
        count += bytes[at] == value ? 1 : 0;
    }
    return count;
}

#ifdef __x86_64__
// The same, thirty-two at a time: a compare and a popcount of its mask.
__attribute__((target("avx2,popcnt"))) std::size_t CountVectors(const std::byte *bytes,
                                                                std::size_t size, std::byte value)
{
    const __m256i spread = _mm256_set1_epi8(static_cast<char>(value));
    std::size_t count = 0;
    std::size_t at = 0;
    for (; at + 32 <= size; at += 32) {
        const __m256i chunk = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(bytes + at));
        count += static_cast<std::size_t>(std::popcount(
            static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(chunk, spread)))));
    }
    return count + CountWords(bytes + at, size - at, value);
}
#endif

std::size_t Count(const std::byte *bytes, std::size_t size, std::byte value, bool vectors)
{
#ifdef __x86_64__
    if (vectors) {
        return CountVectors(bytes, size, value);
    }
#endif
    return CountWords(bytes, size, value);
}

}  // namespace

AdaptiveProportion::AdaptiveProportion(std::size_t window, std::size_t cutoff, words::Width width)
    : vectors_(width >= words::Width::kAvx2), window_(window), cutoff_(cutoff)
{
}

void AdaptiveProportion::Feed(std::span<const std::byte> bytes)
{
    std::size_t at = 0;
    while (at < bytes.size()) {
        // The first sample is counted with the rest, as it equals itself: a window of 512
        // bytes is then sixteen whole vectors.
        if (seen_ == 0) {
            first_ = bytes[at];
            count_ = 0;
        }
        const std::size_t take = std::min(window_ - seen_, bytes.size() - at);
        count_ += Count(&bytes[at], take, first_, vectors_);
        seen_ += take;
        at += take;
        if (seen_ == window_) {
            ++windows_;
            if (count_ >= cutoff_) {
                ++failures_;
                firstFailure_ = firstFailure_.value_or(fed_ + at - window_);
                tooMany_.Trial(true, fed_ + at - window_);
            }
            seen_ = 0;
        }
    }
    fed_ += bytes.size();
}

}  // namespace randdump

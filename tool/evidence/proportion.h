// SP 800-90B's adaptive proportion test, on bytes.
#ifndef TOOL_EVIDENCE_PROPORTION_H
#define TOOL_EVIDENCE_PROPORTION_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "evidence/statistics.h"
#include "evidence/words.h"

namespace randdump {

// Consecutive windows of `window` samples: a window fails when its first sample occurs
// `cutoff` times or more in it (SP 800-90B, 4.4.2).
class AdaptiveProportion {
public:
    // `width`: the widest the processor has, unless told (AVX-512 takes AVX2's path).
    AdaptiveProportion(std::size_t window, std::size_t cutoff,
                       words::Width width = words::Widest());

    void Feed(std::span<const std::byte> bytes);

    [[nodiscard]] std::uint64_t Windows() const { return windows_; }
    [[nodiscard]] std::uint64_t Failures() const { return failures_; }
    // Where the first failing window starts in the sample.
    [[nodiscard]] std::optional<std::uint64_t> FirstFailure() const { return firstFailure_; }
    // Where the window that made the failures too many for a generator starts.
    [[nodiscard]] std::optional<std::uint64_t> TooMany() const { return tooMany_.Crossed(); }

private:
    bool vectors_;  // with AVX2
    std::size_t window_;
    std::size_t cutoff_;
    std::uint64_t fed_ = 0;
    std::size_t seen_ = 0;  // of the current window
    std::byte first_{};
    std::size_t count_ = 0;
    std::uint64_t windows_ = 0;
    std::uint64_t failures_ = 0;
    std::optional<std::uint64_t> firstFailure_;
    WindowedCount tooMany_{0, StatisticsCutoffs::kProportionCutoff};
};

}  // namespace randdump

#endif

// The statistics verdict: output with no gap, repeat or run can still be plainly not random (a
// counter, a biased generator). The FIPS 140-2 block failures, and SP 800-90B's repetition count
// and adaptive proportion failures, each fail the run when they pass what a generator's output
// gives, with a false alarm chance below 2^-42 each, 2^-40 for the three, in a run of up to 1 TiB.
//
// Derivation (exact binomial and Poisson tails; the README has the figures):
// - FIPS 140-2: a block of good data fails some test with p = 8.0e-4, the sum of the tests'
//   own rates from their bounds (monobit 1.03e-4 and poker 0.99e-4 exactly, long run 2.98e-4 by
//   the union bound, runs 3.0e-4 measured over 4 million blocks); taken as 1.2e-3. In windows of
//   1,024 blocks, 429,497 windows a TiB: P(Binomial(1024, 1.2e-3) >= 21) x 429,497 < 2^-42.
// - Repetition count (cutoff 6 at H = 8): 0.996 expected a TiB; P(Poisson(0.996) >= 16) < 2^-42.
// - Adaptive proportion (cutoff 19 in 512): a window fails with 4.7e-12 (its cutoff leaves about
//   2^-37.6, not 2^-40), 0.0101 expected a TiB; P(Poisson(0.0101) >= 6) < 2^-42.
#ifndef TOOL_EVIDENCE_STATISTICS_H
#define TOOL_EVIDENCE_STATISTICS_H

#include <cstdint>
#include <optional>

namespace randdump {

struct StatisticsCutoffs {
    static constexpr std::uint64_t kFipsWindow = 1024;      // 20,000-bit blocks
    static constexpr std::uint64_t kFipsCutoff = 21;        // failed blocks in a window
    static constexpr double kFipsGoodRate = 1.2e-3;         // assumed of good data, per block
    static constexpr std::uint64_t kRepetitionCutoff = 16;  // failures in the run
    static constexpr std::uint64_t kProportionCutoff = 6;   // failed windows in the run
};

// Failures counted in consecutive windows of `window` trials (0: the whole run is one window):
// notes where the count in a window first reaches `cutoff`.
class WindowedCount {
public:
    WindowedCount(std::uint64_t window, std::uint64_t cutoff) : window_(window), cutoff_(cutoff) {}

    // A trial at `offset` in the sample.
    void Trial(bool failed, std::uint64_t offset)
    {
        if (window_ != 0 && trials_ % window_ == 0) {
            count_ = 0;
        }
        ++trials_;
        if (failed && ++count_ == cutoff_ && !crossed_) {
            crossed_ = offset;
        }
    }
    // Where the count first reached the cutoff.
    [[nodiscard]] std::optional<std::uint64_t> Crossed() const { return crossed_; }

private:
    std::uint64_t window_;
    std::uint64_t cutoff_;
    std::uint64_t trials_ = 0;
    std::uint64_t count_ = 0;
    std::optional<std::uint64_t> crossed_;
};

}  // namespace randdump

#endif

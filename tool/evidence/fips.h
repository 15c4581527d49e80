// The FIPS 140-2 statistical tests (monobit, poker, runs, long run) on consecutive blocks of
// 20,000 bits, with the bounds rng-tools uses and counted as rngtest counts them.
#ifndef TOOL_EVIDENCE_FIPS_H
#define TOOL_EVIDENCE_FIPS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "evidence/statistics.h"
#include "evidence/words.h"

namespace randdump {

class Fips140 {
public:
    static constexpr std::size_t kBlockBytes = 2500;  // 20,000 bits, most significant first

    enum Test : unsigned { kMonobit = 1, kPoker = 2, kRuns = 4, kLongRun = 8 };

    // `width`: the widest the processor has, unless told.
    explicit Fips140(words::Width width = words::Widest()) : width_(width) {}

    // What the tests count in a block.
    struct Tally {
        unsigned ones = 0;   // monobit
        unsigned poker = 0;  // the sum of the squared counts of the 16 nibble values
        // Runs of 1 to 5 bits and of 6 or more, of zeros and of ones.
        std::array<std::array<unsigned, 6>, 2> runs{};
        bool longRun = false;  // a run of 26 bits or more
    };
    static Tally Count(std::span<const std::byte, kBlockBytes> block,
                       words::Width width = words::Widest());
    // The tests a tally fails, as a mask of Test.
    static unsigned Judge(const Tally &tally);

    // Judges each whole block as the sample's bytes arrive; a last partial block is not judged.
    void Feed(std::span<const std::byte> bytes);

    [[nodiscard]] std::uint64_t Blocks() const { return blocks_; }
    // Blocks that failed any test, and those that failed each.
    [[nodiscard]] std::uint64_t Failures() const { return failures_; }
    [[nodiscard]] std::uint64_t Failures(Test test) const;
    // Where the first failing block starts in the sample.
    [[nodiscard]] std::optional<std::uint64_t> FirstFailure() const { return firstFailure_; }
    // Where the block that made a window's failures too many for a generator starts.
    [[nodiscard]] std::optional<std::uint64_t> TooMany() const { return tooMany_.Crossed(); }

private:
    void Counted(unsigned failed);

    words::Width width_;
    std::array<std::byte, kBlockBytes> partial_{};
    std::size_t held_ = 0;
    std::uint64_t blocks_ = 0;
    std::uint64_t failures_ = 0;
    std::array<std::uint64_t, 4> byTest_{};
    std::optional<std::uint64_t> firstFailure_;
    WindowedCount tooMany_{StatisticsCutoffs::kFipsWindow, StatisticsCutoffs::kFipsCutoff};
};

}  // namespace randdump

#endif

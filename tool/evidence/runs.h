// Runs of one byte value repeated: the stuck check, and SP 800-90B's repetition count test.
#ifndef TOOL_EVIDENCE_RUNS_H
#define TOOL_EVIDENCE_RUNS_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "evidence/statistics.h"
#include "evidence/words.h"

namespace randdump {

// Follows the sample's bytes in order, across the pieces it is fed in, and notes each run of one
// value that reaches `counted` bytes (SP 800-90B's repetition count cutoff) and the first that
// reaches `stuck` bytes.
class IdenticalRuns {
public:
    // `width`: the widest the processor has, unless told (AVX-512 takes AVX2's path).
    IdenticalRuns(std::uint64_t counted, std::uint64_t stuck, words::Width width = words::Widest());

    void Feed(std::span<const std::byte> bytes);

    [[nodiscard]] std::uint64_t Counted() const { return counted_; }
    // Where the first run counted, and the first stuck run, start in the sample.
    [[nodiscard]] std::optional<std::uint64_t> FirstCounted() const { return firstCounted_; }
    [[nodiscard]] std::optional<std::uint64_t> FirstStuck() const { return firstStuck_; }
    // Where the run that made the counted runs too many for a generator starts.
    [[nodiscard]] std::optional<std::uint64_t> TooMany() const { return tooMany_.Crossed(); }

private:
    void Step(std::byte value, std::uint64_t offset);
    std::size_t FeedVectors(std::span<const std::byte> bytes, std::size_t at);

    bool vectors_;  // with AVX2
    std::uint64_t countedCutoff_;
    std::uint64_t stuckCutoff_;
    std::uint64_t fed_ = 0;
    bool started_ = false;
    std::byte last_{};
    std::uint64_t length_ = 0;
    std::uint64_t start_ = 0;
    std::uint64_t counted_ = 0;
    std::optional<std::uint64_t> firstCounted_;
    std::optional<std::uint64_t> firstStuck_;
    WindowedCount tooMany_{0, StatisticsCutoffs::kRepetitionCutoff};
};

}  // namespace randdump

#endif

// Health checks on the token's output as it goes to the sink, in sample order: the verdicts that
// catch a token answering CKR_OK with bytes that are not random, and the FIPS 140-2 and
// SP 800-90B counts, for information.
#ifndef TOOL_EVIDENCE_CHECKS_H
#define TOOL_EVIDENCE_CHECKS_H

#include <nlohmann/json_fwd.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "evidence/fips.h"
#include "evidence/proportion.h"
#include "evidence/repeated.h"
#include "evidence/restartrepeat.h"
#include "evidence/runs.h"
#include "evidence/unfilled.h"
#include "sink/chunk.h"

namespace randdump {

// Each verdict apart, fed in sample order (unfilled.h, repeated.h, restartrepeat.h, runs.h for
// stuck, statistics.h over the counts of fips.h, runs.h and proportion.h); this only feeds them
// and picks the earliest failure.
class HealthChecks {
public:
    static constexpr std::uint64_t kStuck = 32;            // identical bytes in a row
    static constexpr std::uint64_t kRepetitionCutoff = 6;  // SP 800-90B, H = 8, alpha = 2^-40
    static constexpr std::size_t kProportionWindow = 512;
    static constexpr std::size_t kProportionCutoff = 19;

    static constexpr std::size_t kSlice = std::size_t{16} * 1024;  // judged at once
    using Pattern = Unfilled::Pattern;

    // What each byte holds before its call, by its offset: drawn afresh for each run. Throws
    // std::system_error when the kernel gives no random bytes.
    static Pattern DrawPattern();

    // For blocks of `block` bytes; `row` is the bytes of a row with --restarts; `width`: the
    // widest the processor has, unless told.
    HealthChecks(const Pattern &pattern, std::size_t block, std::optional<std::uint64_t> row,
                 words::Width width = words::Widest());

    [[nodiscard]] const Pattern &Filler() const { return pattern_; }

    // Judges a chunk, the next in sample order. False when a verdict check fails: Failure()
    // then says which, at the smallest offset.
    bool Feed(const Chunk &chunk);

    struct Failure {
        const char *check;  // "unfilled", "restart repeat", "repeated", "stuck", "statistics"
        std::uint64_t offset;
    };
    [[nodiscard]] std::optional<Failure> Failed() const { return failed_; }

    // One line for standard error, after a run that passed.
    [[nodiscard]] std::string Summary() const;
    // Every count, cutoff and first failing offset, for the record.
    [[nodiscard]] nlohmann::ordered_json Record() const;

private:
    [[nodiscard]] std::optional<std::uint64_t> Statistics() const;

    Pattern pattern_;
    std::uint64_t checked_ = 0;
    Unfilled unfilled_;
    Repeated repeated_;
    std::optional<RestartRepeat> restartRepeat_;
    IdenticalRuns runs_;
    AdaptiveProportion proportion_;
    Fips140 fips_;
    std::optional<Failure> failed_;
};

}  // namespace randdump

#endif

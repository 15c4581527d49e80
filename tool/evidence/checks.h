// Health checks on the token's output as it goes to the sink, in sample order: the verdicts that
// catch a token answering CKR_OK with bytes that are not random, and the FIPS 140-2 and
// SP 800-90B counts, for information.
#ifndef TOOL_EVIDENCE_CHECKS_H
#define TOOL_EVIDENCE_CHECKS_H

#include <nlohmann/json.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "evidence/fips.h"
#include "evidence/proportion.h"
#include "evidence/runs.h"
#include "sink/chunk.h"

namespace randdump {

class HealthChecks {
public:
    static constexpr std::size_t kPiece = 16;              // unfilled pieces, row prefixes
    static constexpr std::size_t kRepeatedBlock = 16;      // the least block judged repeated
    static constexpr std::uint64_t kStuck = 32;            // identical bytes in a row
    static constexpr std::uint64_t kRepetitionCutoff = 6;  // SP 800-90B, H = 8, alpha = 2^-40
    static constexpr std::size_t kProportionWindow = 512;
    static constexpr std::size_t kProportionCutoff = 19;

    static constexpr std::size_t kSlice = std::size_t{16} * 1024;  // judged at once
    using Pattern = std::array<std::byte, kPiece>;

    // What each block holds before its call: drawn afresh for each run. Throws
    // std::system_error when the kernel gives no random bytes.
    static Pattern DrawPattern();

    // For `sessions` sessions; `row` is the bytes of a row with --restarts; `width`: the
    // widest the processor has, unless told.
    HealthChecks(const Pattern &pattern, unsigned sessions, std::optional<std::uint64_t> row,
                 words::Width width = words::Widest());

    [[nodiscard]] const Pattern &Filler() const { return pattern_; }

    // Judges a chunk, the next in sample order. False when a verdict check fails: Failure()
    // then says which, at the smallest offset.
    bool Feed(const Chunk &chunk);
    // The sessions start again: a session's previous block does not outlive a restart.
    void Restart();

    struct Failure {
        const char *check;  // "unfilled", "repeated", "stuck", "restart repeat"
        std::uint64_t offset;
    };
    [[nodiscard]] std::optional<Failure> Failed() const { return failed_; }

    // One line for standard error, after a run that passed.
    [[nodiscard]] std::string Summary() const;
    // Every count, cutoff and first failing offset, for the record.
    [[nodiscard]] nlohmann::ordered_json Record() const;

private:
    struct Previous {
        std::span<const std::byte> inChunk;  // the block, while its chunk is being judged
        std::vector<std::byte> kept;         // or a copy of it, after
        bool any = false;
    };
    struct Prefix {
        std::size_t operator()(const Pattern &prefix) const;
    };

    void JudgeBlock(std::span<const std::byte> block, std::uint64_t offset, unsigned session);

    Pattern pattern_;
    std::optional<std::uint64_t> row_;
    std::uint64_t checked_ = 0;
    std::vector<Previous> previous_;
    std::unordered_set<Pattern, Prefix> prefixes_;
    std::uint64_t rows_ = 0;
    std::optional<std::uint64_t> unfilled_;
    std::optional<std::uint64_t> repeated_;
    std::optional<std::uint64_t> restartRepeat_;
    IdenticalRuns runs_;
    AdaptiveProportion proportion_;
    Fips140 fips_;
    std::optional<Failure> failed_;
};

}  // namespace randdump

#endif

#include "evidence/checks.h"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "evidence/words.h"

namespace randdump {
namespace {

using Json = nlohmann::ordered_json;

Json Offset(std::optional<std::uint64_t> offset)
{
    return offset ? Json(*offset) : Json(nullptr);
}

}  // namespace

HealthChecks::Pattern HealthChecks::DrawPattern()
{
    Pattern pattern{};
    if (getrandom(pattern.data(), pattern.size(), 0) != static_cast<ssize_t>(pattern.size())) {
        throw std::system_error(errno, std::generic_category());
    }
    return pattern;
}

std::size_t HealthChecks::Prefix::operator()(const Pattern &prefix) const
{
    return static_cast<std::size_t>(words::Load(prefix.data()) ^
                                    (words::Load(&prefix[8]) * 0x9E3779B97F4A7C15U));
}

HealthChecks::HealthChecks(const Pattern &pattern, unsigned sessions,
                           std::optional<std::uint64_t> row, words::Width width)
    : pattern_(pattern),
      row_(row),
      previous_(sessions),
      runs_(kRepetitionCutoff, kStuck, width),
      proportion_(kProportionWindow, kProportionCutoff, width),
      fips_(width)
{
}

void HealthChecks::Restart()
{
    for (Previous &previous : previous_) {
        previous.any = false;
    }
}

void HealthChecks::JudgeBlock(std::span<const std::byte> block, std::uint64_t offset,
                              unsigned session)
{
    // Unfilled: a whole piece that still holds what was put there before the call. Looked for
    // without a branch, where it is nearly never found; then found.
    const std::uint64_t low = words::Load(pattern_.data());
    const std::uint64_t high = words::Load(&pattern_[8]);
    const auto unwritten = [&](std::size_t at) {
        return ((words::Load(&block[at]) ^ low) | (words::Load(&block[at + 8]) ^ high)) == 0;
    };
    bool any = false;
    for (std::size_t at = 0; at + kPiece <= block.size(); at += kPiece) {
        any |= unwritten(at);
    }
    for (std::size_t at = 0; any && !unfilled_ && at + kPiece <= block.size(); at += kPiece) {
        if (unwritten(at)) {
            unfilled_ = offset + at;
        }
    }
    // Repeated: the same bytes as the session's block before.
    Previous &previous = previous_.at(session);
    if (!repeated_ && block.size() >= kRepeatedBlock && previous.any) {
        const std::span<const std::byte> before =
            previous.inChunk.empty() ? std::span<const std::byte>(previous.kept) : previous.inChunk;
        if (before.size() == block.size() &&
            std::memcmp(before.data(), block.data(), block.size()) == 0) {
            repeated_ = offset;
        }
    }
    previous.inChunk = block;
    previous.any = true;
}

bool HealthChecks::Feed(const Chunk &chunk)
{
    // Restart repeat: a row that starts as an earlier one did. Each row is drawn through a ring
    // of its own, so a row starts only where a chunk does.
    if (row_ && *row_ >= kPiece && chunk.offset % *row_ == 0 && chunk.bytes.size() >= kPiece) {
        ++rows_;
        Pattern prefix{};
        std::copy_n(chunk.bytes.begin(), kPiece, prefix.begin());
        if (!prefixes_.insert(prefix).second && !restartRepeat_) {
            restartRepeat_ = chunk.offset;
        }
    }
    // A slice at a time, every check over it while it is in the core's nearest cache.
    const std::size_t slice = std::max(chunk.block, kSlice / chunk.block * chunk.block);
    for (std::size_t from = 0; from < chunk.bytes.size(); from += slice) {
        const std::span<const std::byte> bytes =
            chunk.bytes.subspan(from, std::min(slice, chunk.bytes.size() - from));
        for (std::size_t at = 0; at < bytes.size(); at += chunk.block) {
            JudgeBlock(bytes.subspan(at, std::min(chunk.block, bytes.size() - at)),
                       chunk.offset + from + at, chunk.sessions[(from + at) / chunk.block]);
        }
        runs_.Feed(bytes);
        proportion_.Feed(bytes);
        fips_.Feed(bytes);
    }
    // The blocks judged next may come after this chunk's memory is used again.
    for (Previous &previous : previous_) {
        if (!previous.inChunk.empty()) {
            previous.kept.assign(previous.inChunk.begin(), previous.inChunk.end());
            previous.inChunk = {};
        }
    }
    checked_ += chunk.bytes.size();

    const std::array<std::pair<const char *, std::optional<std::uint64_t>>, 4> verdicts{{
        {"unfilled", unfilled_},
        {"repeated", repeated_},
        {"stuck", runs_.FirstStuck()},
        {"restart repeat", restartRepeat_},
    }};
    for (const auto &[check, offset] : verdicts) {
        if (offset && (!failed_ || *offset < failed_->offset)) {
            failed_ = Failure{check, *offset};
        }
    }
    return !failed_;
}

std::string HealthChecks::Summary() const
{
    std::array<char, 512> line{};
    std::snprintf(line.data(), line.size(),
                  "Health checks passed over %llu bytes; FIPS 140-2: %llu of %llu blocks failed "
                  "(monobit %llu, poker %llu, runs %llu, long run %llu); SP 800-90B: %llu "
                  "repetition count and %llu of %llu adaptive proportion failures",
                  static_cast<unsigned long long>(checked_),
                  static_cast<unsigned long long>(fips_.Failures()),
                  static_cast<unsigned long long>(fips_.Blocks()),
                  static_cast<unsigned long long>(fips_.Failures(Fips140::kMonobit)),
                  static_cast<unsigned long long>(fips_.Failures(Fips140::kPoker)),
                  static_cast<unsigned long long>(fips_.Failures(Fips140::kRuns)),
                  static_cast<unsigned long long>(fips_.Failures(Fips140::kLongRun)),
                  static_cast<unsigned long long>(runs_.Counted()),
                  static_cast<unsigned long long>(proportion_.Failures()),
                  static_cast<unsigned long long>(proportion_.Windows()));
    return line.data();
}

Json HealthChecks::Record() const
{
    Json checks;
    checks["bytes"] = checked_;
    checks["passed"] = !failed_;
    checks["failure"] =
        failed_ ? Json{{"check", failed_->check}, {"offset", failed_->offset}} : Json(nullptr);
    checks["unfilled"] = {{"piece", kPiece}, {"first_failure", Offset(unfilled_)}};
    checks["repeated"] = {{"least_block", kRepeatedBlock}, {"first_failure", Offset(repeated_)}};
    checks["stuck"] = {{"cutoff", kStuck}, {"first_failure", Offset(runs_.FirstStuck())}};
    checks["restart_repeat"] = {
        {"prefix", kPiece}, {"rows", rows_}, {"first_failure", Offset(restartRepeat_)}};
    checks["fips_140_2"] = {{"block_bits", Fips140::kBlockBytes * 8},
                            {"blocks", fips_.Blocks()},
                            {"failures", fips_.Failures()},
                            {"monobit", fips_.Failures(Fips140::kMonobit)},
                            {"poker", fips_.Failures(Fips140::kPoker)},
                            {"runs", fips_.Failures(Fips140::kRuns)},
                            {"long_run", fips_.Failures(Fips140::kLongRun)},
                            {"first_failure", Offset(fips_.FirstFailure())}};
    checks["sp800_90b"] = {{"bits_per_sample", 8},
                           {"min_entropy", 8},
                           {"alpha", "2^-40"},
                           {"repetition_count",
                            {{"cutoff", kRepetitionCutoff},
                             {"failures", runs_.Counted()},
                             {"first_failure", Offset(runs_.FirstCounted())}}},
                           {"adaptive_proportion",
                            {{"window", kProportionWindow},
                             {"cutoff", kProportionCutoff},
                             {"windows", proportion_.Windows()},
                             {"failures", proportion_.Failures()},
                             {"first_failure", Offset(proportion_.FirstFailure())}}}};
    return checks;
}

}  // namespace randdump

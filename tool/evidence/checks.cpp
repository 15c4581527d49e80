#include "evidence/checks.h"

#include <sys/random.h>

#include <nlohmann/json.hpp>

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

HealthChecks::HealthChecks(const Pattern &pattern, std::size_t block,
                           std::optional<std::uint64_t> row, words::Width width)
    : pattern_(pattern),
      unfilled_(pattern, block, width),
      repeated_(block),
      runs_(kRepetitionCutoff, kStuck, width),
      proportion_(kProportionWindow, kProportionCutoff, width),
      fips_(width)
{
    if (row) {
        restartRepeat_.emplace(*row);
    }
}

std::optional<std::uint64_t> HealthChecks::Statistics() const
{
    std::optional<std::uint64_t> first;
    for (const std::optional<std::uint64_t> &crossed :
         {fips_.TooMany(), runs_.TooMany(), proportion_.TooMany()}) {
        if (crossed && (!first || *crossed < *first)) {
            first = crossed;
        }
    }
    return first;
}

bool HealthChecks::Feed(const Chunk &chunk)
{
    if (restartRepeat_) {
        restartRepeat_->Feed(chunk.bytes, chunk.offset);
    }
    // A slice at a time, every check over it while it is in the core's nearest cache.
    const std::size_t slice = std::max(chunk.block, kSlice / chunk.block * chunk.block);
    for (std::size_t from = 0; from < chunk.bytes.size(); from += slice) {
        const std::span<const std::byte> bytes =
            chunk.bytes.subspan(from, std::min(slice, chunk.bytes.size() - from));
        unfilled_.Feed(bytes, chunk.offset + from);
        repeated_.Feed(bytes, chunk.offset + from);
        runs_.Feed(bytes);
        proportion_.Feed(bytes);
        fips_.Feed(bytes);
    }
    checked_ += chunk.bytes.size();

    // In this order where two fail at one offset: the more telling first.
    const std::array<std::pair<const char *, std::optional<std::uint64_t>>, 5> verdicts{{
        {"unfilled", unfilled_.FirstFailure()},
        {"restart repeat", restartRepeat_ ? restartRepeat_->FirstFailure() : std::nullopt},
        {"repeated", repeated_.FirstFailure()},
        {"stuck", runs_.FirstStuck()},
        {"statistics", Statistics()},
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
    checks["unfilled"] = {
        {"run", Unfilled::kRun},
        {"recurring", {{"window_calls", Unfilled::kWindow}, {"cutoff", Unfilled::kRecurring}}},
        {"first_failure", Offset(unfilled_.FirstFailure())}};
    checks["repeated"] = {{"compared", Repeated::kKey},
                          {"blocks_remembered", Repeated::kBlocks},
                          {"stretch", Repeated::kStretch},
                          {"stretches_remembered", Repeated::kStretches},
                          {"first_failure", Offset(repeated_.FirstFailure())}};
    checks["stuck"] = {{"cutoff", kStuck}, {"first_failure", Offset(runs_.FirstStuck())}};
    checks["restart_repeat"] = {
        {"compared", RestartRepeat::kKey},
        {"shift", RestartRepeat::kShift},
        {"rows", restartRepeat_ ? restartRepeat_->Rows() : 0},
        {"first_failure", Offset(restartRepeat_ ? restartRepeat_->FirstFailure() : std::nullopt)}};
    checks["statistics"] = {{"false_alarm", "2^-40 in a run of up to 1 TiB"},
                            {"fips_140_2",
                             {{"window_blocks", StatisticsCutoffs::kFipsWindow},
                              {"cutoff", StatisticsCutoffs::kFipsCutoff},
                              {"good_block_failure_rate", StatisticsCutoffs::kFipsGoodRate},
                              {"first_failure", Offset(fips_.TooMany())}}},
                            {"repetition_count",
                             {{"cutoff", StatisticsCutoffs::kRepetitionCutoff},
                              {"first_failure", Offset(runs_.TooMany())}}},
                            {"adaptive_proportion",
                             {{"cutoff", StatisticsCutoffs::kProportionCutoff},
                              {"first_failure", Offset(proportion_.TooMany())}}},
                            {"first_failure", Offset(Statistics())}};
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

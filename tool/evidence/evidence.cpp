#include "evidence/evidence.h"

#include <utility>

namespace randdump {

Evidence::Evidence(bool hashing, std::optional<HealthChecks> checks) : checks_(std::move(checks))
{
    if (hashing) {
        hash_.emplace();
    }
}

void Evidence::Started()
{
    started_ = std::chrono::system_clock::now();
    startedSteady_ = std::chrono::steady_clock::now();
    Finished();
}

void Evidence::Finished()
{
    finished_ = std::chrono::system_clock::now();
    finishedSteady_ = std::chrono::steady_clock::now();
}

std::optional<Evidence::Times> Evidence::When() const
{
    if (!started_) {
        return std::nullopt;
    }
    return Times{*started_, finished_,
                 std::chrono::duration<double>(finishedSteady_ - startedSteady_).count()};
}

const std::string &Evidence::Digest()
{
    if (hash_) {
        digest_ = hash_->HexDigest();
        hash_.reset();
    }
    return digest_;
}

bool Evidence::Inspect(const Chunk &chunk)
{
    return !checks_ || checks_->Feed(chunk);
}

void Evidence::Written(std::span<const std::byte> bytes)
{
    if (hash_) {
        hash_->Update(bytes);
    }
    bytes_ += bytes.size();
}

}  // namespace randdump

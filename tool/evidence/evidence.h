// What is learnt of the sample on its way to the sink, on the writer's thread and in sample
// order: how many bytes were written and their SHA-256 (for --record), and the health checks'
// verdict (for --check).
#ifndef TOOL_EVIDENCE_EVIDENCE_H
#define TOOL_EVIDENCE_EVIDENCE_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "evidence/checks.h"
#include "evidence/hash.h"
#include "sink/chunk.h"

namespace randdump {

class Evidence final : public ChunkInspector {
public:
    // Hashes when `hashing`; checks when given checks.
    Evidence(bool hashing, std::optional<HealthChecks> checks);

    bool Inspect(const Chunk &chunk) override;
    void Written(std::span<const std::byte> bytes) override;

    // The draw's first call is about to be made; the last byte is written (or the draw ended).
    void Started();
    void Finished();

    [[nodiscard]] std::uint64_t Bytes() const { return bytes_; }
    struct Times {
        std::chrono::system_clock::time_point started;
        std::chrono::system_clock::time_point finished;
        double seconds = 0;
    };
    // When the draw started and ended; none when it never started.
    [[nodiscard]] std::optional<Times> When() const;
    // The SHA-256 of the bytes written, in lower-case hex; nothing is hashed after the first
    // call.
    const std::string &Digest();
    [[nodiscard]] HealthChecks *Checks() { return checks_ ? &*checks_ : nullptr; }

private:
    std::optional<Sha256> hash_;
    std::string digest_;
    std::optional<HealthChecks> checks_;
    std::uint64_t bytes_ = 0;
    std::optional<std::chrono::system_clock::time_point> started_;
    std::chrono::system_clock::time_point finished_{};
    std::chrono::steady_clock::time_point startedSteady_{};
    std::chrono::steady_clock::time_point finishedSteady_{};
};

}  // namespace randdump

#endif

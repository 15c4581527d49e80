// The restart repeat check, with --restarts: a row that repeats an earlier row's output from any
// point within its first 64 bytes, either way (a generator seeded alike that skips or adds up to
// 64 bytes at a start, or that differs only in its first bytes), at the row's offset. Each row
// leaves the 16 bytes at its byte 64; a new row is looked for at each of its bytes 0 to 128, once
// its first 144 bytes have come, however many pieces they come in (a slow token's stream is
// written as it comes). A row under 144 bytes is judged whole.
#ifndef TOOL_EVIDENCE_RESTARTREPEAT_H
#define TOOL_EVIDENCE_RESTARTREPEAT_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_set>

namespace randdump {

class RestartRepeat {
public:
    static constexpr std::size_t kKey = 16;
    static constexpr std::size_t kShift = 64;
    static constexpr std::size_t kHead = 2 * kShift + kKey;  // the bytes of a row judged
    using Key = std::array<std::byte, kKey>;

    // For rows of `row` bytes.
    explicit RestartRepeat(std::uint64_t row) : row_(row) {}

    // The sample's next bytes, at `offset`, in order.
    void Feed(std::span<const std::byte> bytes, std::uint64_t offset);

    [[nodiscard]] std::uint64_t Rows() const { return rows_; }
    [[nodiscard]] std::optional<std::uint64_t> FirstFailure() const { return failure_; }

private:
    struct Hash {
        std::size_t operator()(const Key &key) const;
    };
    void Judge(std::uint64_t offset);

    std::uint64_t row_;
    std::uint64_t rows_ = 0;
    std::array<std::byte, kHead> head_{};  // of the row being gathered
    std::size_t held_ = 0;
    std::size_t wanted_ = 0;  // bytes of its head still to come; 0: none is gathered
    std::uint64_t rowStart_ = 0;
    std::unordered_set<Key, Hash> keys_;
    std::optional<std::uint64_t> failure_;
};

}  // namespace randdump

#endif

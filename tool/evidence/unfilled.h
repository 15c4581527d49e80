// The unfilled check: bytes the token never wrote. Before each call every byte of the block holds
// the fill pattern laid by sample offset (the byte at offset o holds pattern[o % 16]); after
// CKR_OK a generator leaves a byte equal to it with chance 1/256. Two signs of a call that left
// bytes unwritten:
// - 16 or more of them in a row, anywhere and at any alignment (a generator: 2^-128): buffers
//   returned untouched, lengths cut short, untouched blocks under 16 bytes as soon as they adjoin;
// - one position of the block holding it in 23 or more of 256 consecutive calls: a driver that
//   leaves the same bytes of every call unwritten (one byte short, eight short), found within
//   256 calls, at the byte where the count reached its cutoff. A generator does that with chance
//   below 2^-42 a TiB: P(Binomial(256, 1/256) >= 23) < 2^-74, over the 2^32 windows and positions a
//   TiB holds.
// A lone gap under 16 bytes cannot be told from random bytes.
#ifndef TOOL_EVIDENCE_UNFILLED_H
#define TOOL_EVIDENCE_UNFILLED_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "evidence/words.h"

namespace randdump {

class Unfilled {
public:
    static constexpr std::size_t kPattern = 16;
    static constexpr std::uint64_t kRun = 16;       // unwritten bytes in a row
    static constexpr std::uint64_t kWindow = 256;   // calls
    static constexpr std::uint8_t kRecurring = 23;  // calls in a window, at one position
    using Pattern = std::array<std::byte, kPattern>;

    // For blocks of `block` bytes; `width`: the widest the processor has, unless told.
    Unfilled(const Pattern &pattern, std::size_t block, words::Width width = words::Widest());

    // The sample's next bytes, which start at `offset` with a block: whole blocks, but for the
    // last of a row.
    void Feed(std::span<const std::byte> bytes, std::uint64_t offset);

    // The first unwritten byte found: where a run starts, or where a position's count reached
    // its cutoff.
    [[nodiscard]] std::optional<std::uint64_t> FirstFailure() const { return failure_; }

private:
    // The bytes of `mask` (a bit a byte, of `size`) still hold the pattern, from `at` on.
    void Matched(std::uint64_t mask, std::size_t size, std::size_t at);
    void Count(std::size_t at);
    void Found(std::uint64_t offset);
    std::size_t FeedWords(std::span<const std::byte> bytes, std::size_t at);
    std::size_t FeedAvx2(std::span<const std::byte> bytes);
    std::size_t FeedAvx512(std::span<const std::byte> bytes);

    Pattern pattern_;
    std::size_t block_;
    words::Width width_;
    std::array<std::byte, 64> laid_{};  // the pattern as laid from the fed bytes' offset on
    std::uint64_t offset_ = 0;          // of the bytes being fed
    std::uint64_t blocksBefore_ = 0;    // blocks fed before them
    std::size_t blockStart_ = 0;        // in them, of the block of the last byte counted
    std::uint64_t blocksIn_ = 0;        // whole blocks in them before that one
    std::uint64_t run_ = 0;             // unwritten bytes in a row, up to the last one looked at
    std::uint64_t runStart_ = 0;
    std::uint64_t window_ = 0;
    std::vector<std::uint8_t> counts_;  // per position, in the window
    std::optional<std::uint64_t> failure_;
};

}  // namespace randdump

#endif

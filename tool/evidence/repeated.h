// The repeated check: output the token gave before, told by the first 16 bytes of what repeats
// (a generator repeats 16 bytes with chance 2^-128):
// - a block of 16 bytes or more that starts as any of the last 65,536 blocks did, in any session,
//   at the later block's offset: buffers that cycle (A, B, A, B; a ring of 64), a buffer handed
//   to another session. Those blocks are remembered exactly.
// - whatever the block size, output that repeats with a period that is a multiple of 64 bytes up
//   to 1 MiB (a driver's own buffer handed out again under another block size): a 64-byte stretch
//   aligned in the sample that starts as one of the 16,384 before it did, at the later stretch's
//   offset. Those are remembered in a two-way table where one may push out another; a period
//   repeats every stretch of it, so that one stretch missed is made up for by the next.
#ifndef TOOL_EVIDENCE_REPEATED_H
#define TOOL_EVIDENCE_REPEATED_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace randdump {

class Repeated {
public:
    static constexpr std::size_t kKey = 16;        // the bytes compared
    static constexpr std::size_t kBlocks = 65536;  // remembered
    static constexpr std::size_t kStretch = 64;
    static constexpr std::size_t kStretches = 16384;  // remembered: 1 MiB

    // For blocks of `block` bytes.
    explicit Repeated(std::size_t block);

    // The sample's next bytes, which start at `offset` with a block: whole blocks, but for the
    // last of a row.
    void Feed(std::span<const std::byte> bytes, std::uint64_t offset);

    [[nodiscard]] std::optional<std::uint64_t> FirstFailure() const { return failure_; }

private:
    struct Key {
        std::uint64_t low;
        std::uint64_t high;
        bool operator==(const Key &) const = default;
    };
    struct Slot {
        std::uint64_t low = 0;
        std::uint32_t high = 0;     // half of the key's second eight bytes
        std::uint32_t stretch = 0;  // its number + 1, modulo 2^32; 0: empty
    };
    static Key KeyAt(const std::byte *bytes);
    bool SeenBlock(const Key &key);
    bool SeenStretch(const Key &key, std::uint64_t stretch);
    void Found(std::uint64_t offset);

    std::size_t block_;
    // The blocks: a ring of keys, chained by hash.
    std::vector<Key> keys_;
    std::vector<std::uint32_t> next_;
    std::vector<std::uint32_t> heads_;
    std::uint64_t blocks_ = 0;
    // The stretches: two ways a set.
    std::vector<std::array<Slot, 2>> sets_;
    std::array<std::byte, kKey> pending_{};  // a stretch's key cut by the end of a feed
    std::size_t pendingBytes_ = 0;
    std::uint64_t pendingOffset_ = 0;
    std::optional<std::uint64_t> failure_;
};

}  // namespace randdump

#endif

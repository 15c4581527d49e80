// The sample on its way from the sessions that generate it to the sink that takes it.
#ifndef TOOL_BLOCKRING_H
#define TOOL_BLOCKRING_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "sink/chunk.h"
#include "sink/sink.h"

namespace randdump {

// Hands out the sample's blocks in order, each to be generated in place by whichever session
// claims it, and writes them, chunk by chunk and in order, from a thread of its own once every
// block of a chunk is filled: block i always lands at offset i x block, whatever the
// scheduling. The chunks form a ring of fixed size, aligned for writes that bypass the page
// cache, so memory stays bounded however long the sample: a session waits when it would run a
// ring ahead of the writer. On a stream, a chunk that has waited kPatience is written as far as
// its blocks are filled, so that a slow token's reader gets bytes at once.
class BlockRing {
public:
    // `total` bytes, or without end, in blocks of `block` bytes, for `sessions` filling at once,
    // written from offset `base` of the sink on, each chunk shown to `inspector` (if any) first.
    // Throws std::bad_alloc, or std::system_error when no thread can be started.
    BlockRing(Sink &sink, std::size_t block, std::optional<std::uint64_t> total, unsigned sessions,
              std::uint64_t base = 0, ChunkInspector *inspector = nullptr);
    ~BlockRing();  // stops; what was not yet written is dropped
    BlockRing(const BlockRing &) = delete;
    BlockRing &operator=(const BlockRing &) = delete;
    BlockRing(BlockRing &&) = delete;
    BlockRing &operator=(BlockRing &&) = delete;

    struct Block {
        std::uint64_t index;
        std::uint64_t offset;        // in the sample
        std::span<std::byte> bytes;  // a whole block, or what is left of the sample
    };
    // The next block to generate; none once every block is handed out or the run stopped, by
    // Stop() or a stopping signal.
    std::optional<Block> Claim();
    // The block is generated.
    void Filled(const Block &block);
    // No block is handed out any more; the writer stops at its next chunk.
    void Stop();
    // Waits until every block is written, or the run stopped; false when a write failed (the
    // sink's Reason() tells why) or the inspector stopped the run (Refused()).
    bool Finish();
    [[nodiscard]] bool Refused() const { return refused_; }

    // Where the sample stands with the blocks handed out so far, base included: for the
    // progress line.
    [[nodiscard]] std::uint64_t ClaimedBytes() const;

    // The size a chunk comes near; a larger block makes a chunk of its own.
    static constexpr std::size_t kChunkTarget = std::size_t{1024} * 1024;
    static constexpr std::chrono::milliseconds kPatience{100};

private:
    struct Release {
        std::size_t alignment;
        void operator()(std::byte *memory) const;
    };

    [[nodiscard]] std::uint64_t BlocksIn(std::uint64_t chunk) const;
    [[nodiscard]] std::size_t BytesIn(std::uint64_t chunk) const;
    std::span<std::byte> ChunkAt(std::uint64_t chunk);
    // Shows blocks [from, to) of the chunk to the inspector and writes them; false when either
    // refused them.
    bool WriteBlocks(std::uint64_t chunk, std::size_t from, std::size_t to);
    // The blocks filled in order from `from` on, in the chunk's place in the ring.
    [[nodiscard]] std::size_t FilledFrom(std::uint64_t chunk, std::size_t from) const;
    void Write();

    Sink &sink_;
    ChunkInspector *inspector_;
    const std::uint64_t base_;
    const std::size_t block_;
    const std::optional<std::uint64_t> total_;
    const std::uint64_t blocks_;  // how many blocks make the sample, without end: the most there is
    const std::size_t perChunk_;  // blocks in a chunk
    const std::size_t chunkBytes_;
    const std::size_t stride_;  // from one chunk to the next in memory: aligned
    const std::size_t chunkCount_;
    std::unique_ptr<std::byte, Release> memory_;

    // A block is claimed and filled without the lock while the ring has room; the lock guards
    // the waits, for room by the sessions and for a filled chunk by the writer.
    std::mutex mutex_;
    std::condition_variable changed_;
    std::atomic<std::uint64_t> next_{0};              // the next block to hand out
    std::atomic<std::uint64_t> written_{0};           // the chunks written
    std::vector<std::atomic<std::uint64_t>> filled_;  // the blocks filled, by place in the ring
    const bool early_;                                // a stream: chunks written in part
    std::vector<std::atomic<bool>> blockFilled_;      // with early_: by block, by place
    std::atomic<bool> stopped_{false};
    bool failed_ = false;
    bool refused_ = false;
    std::thread writer_;
};

}  // namespace randdump

#endif

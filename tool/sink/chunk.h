// A chunk of the sample on its way to the sink, and what may look at it before it is written.
#ifndef TOOL_SINK_CHUNK_H
#define TOOL_SINK_CHUNK_H

#include <cstddef>
#include <cstdint>
#include <span>

namespace randdump {

// A chunk on its way to the sink: whole blocks, but for the last of a row, in sample order.
struct Chunk {
    std::span<const std::byte> bytes;
    std::uint64_t offset;  // in the sample
    std::size_t block;     // the bytes of a block
};

// What looks at each chunk on the writer's thread, off the sessions' threads.
class ChunkInspector {
public:
    ChunkInspector() = default;
    virtual ~ChunkInspector() = default;
    ChunkInspector(const ChunkInspector &) = delete;
    ChunkInspector &operator=(const ChunkInspector &) = delete;
    ChunkInspector(ChunkInspector &&) = delete;
    ChunkInspector &operator=(ChunkInspector &&) = delete;

    // Before the chunk is written: false stops the run, and nothing of the chunk is written.
    virtual bool Inspect(const Chunk &chunk) = 0;
    // After: the bytes the sink took, in order, all of the chunk unless the write failed.
    virtual void Written(std::span<const std::byte> bytes) = 0;
};

}  // namespace randdump

#endif

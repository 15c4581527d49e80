// Writing the sample while the token generates it.
#ifndef TOOL_CHUNKWRITER_H
#define TOOL_CHUNKWRITER_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "outputfile.h"

namespace randdump {

// Hands out the file's bytes in order, chunk by chunk, to be filled in place; a thread of its own
// writes each full chunk while the next one is filled. The chunks share one huge page, aligned
// for writes that bypass the page cache.
class ChunkWriter {
public:
    explicit ChunkWriter(OutputFile &file);
    ~ChunkWriter();  // stops the writer; what was not yet written is dropped
    ChunkWriter(const ChunkWriter &) = delete;
    ChunkWriter &operator=(const ChunkWriter &) = delete;
    ChunkWriter(ChunkWriter &&) = delete;
    ChunkWriter &operator=(ChunkWriter &&) = delete;

    // The next `size` bytes of the file (at most a chunk), to be filled before the next call;
    // empty once a write failed (the file's Reason() tells why).
    std::span<std::byte> Next(std::size_t size);
    // Writes what is left and waits for every write; false when one failed.
    bool Finish();

    static constexpr std::size_t kChunkSize = std::size_t{1024} * 1024;
    static constexpr std::size_t kChunkCount = 2;

private:
    struct Chunk {
        std::size_t index;
        std::size_t size;
        std::uint64_t offset;
    };
    struct Release {
        void operator()(std::byte *memory) const;
    };

    std::span<std::byte> ChunkAt(std::size_t index);
    void Submit();
    void Write();

    OutputFile &file_;
    std::unique_ptr<std::byte, Release> memory_;
    std::size_t current_ = 0;  // the chunk being filled
    std::size_t used_ = 0;
    std::uint64_t offset_ = 0;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Chunk> full_;
    std::vector<std::size_t> free_;
    bool finished_ = false;
    bool failed_ = false;
    std::thread writer_;
};

}  // namespace randdump

#endif

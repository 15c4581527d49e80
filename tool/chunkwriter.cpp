#include "chunkwriter.h"

#include <sys/mman.h>

#include <new>

namespace randdump {
namespace {

constexpr std::size_t kRegionSize = ChunkWriter::kChunkSize * ChunkWriter::kChunkCount;
static_assert(kRegionSize % OutputFile::kDirectAlignment == 0);

}  // namespace

void ChunkWriter::Release::operator()(std::byte *memory) const
{
    ::operator delete (memory, std::align_val_t{kRegionSize});
}

ChunkWriter::ChunkWriter(OutputFile &file)
    : file_(file),
      memory_(static_cast<std::byte *>(::operator new (kRegionSize, std::align_val_t{kRegionSize})))
{
    // One huge page instead of 512 small ones: cheaper to pin for each direct write.
    madvise(memory_.get(), kRegionSize, MADV_HUGEPAGE);
    for (std::size_t index = 1; index < kChunkCount; ++index) {
        free_.push_back(index);
    }
    writer_ = std::thread([this] { Write(); });
}

ChunkWriter::~ChunkWriter()
{
    {
        const std::lock_guard lock(mutex_);
        full_.clear();
        finished_ = true;
    }
    changed_.notify_all();
    if (writer_.joinable()) {
        writer_.join();
    }
}

std::span<std::byte> ChunkWriter::ChunkAt(std::size_t index)
{
    return {memory_.get() + index * kChunkSize, kChunkSize};
}

std::span<std::byte> ChunkWriter::Next(std::size_t size)
{
    if (size > kChunkSize) {
        return {};
    }
    if (used_ + size > kChunkSize) {
        Submit();
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return failed_ || !free_.empty(); });
        if (failed_) {
            return {};
        }
        current_ = free_.back();
        free_.pop_back();
    }
    const std::span<std::byte> next = ChunkAt(current_).subspan(used_, size);
    used_ += size;
    return next;
}

void ChunkWriter::Submit()
{
    {
        const std::lock_guard lock(mutex_);
        full_.push_back({current_, used_, offset_});
    }
    changed_.notify_all();
    offset_ += used_;
    used_ = 0;
}

bool ChunkWriter::Finish()
{
    if (used_ > 0) {
        Submit();
    }
    {
        const std::lock_guard lock(mutex_);
        finished_ = true;
    }
    changed_.notify_all();
    writer_.join();
    return !failed_;
}

// The writer thread: writes full chunks in order until told to finish or a write fails.
void ChunkWriter::Write()
{
    std::unique_lock lock(mutex_);
    while (true) {
        changed_.wait(lock, [this] { return finished_ || !full_.empty(); });
        if (full_.empty()) {
            return;
        }
        const Chunk chunk = full_.front();
        full_.pop_front();
        lock.unlock();
        const bool written = file_.Write(ChunkAt(chunk.index).first(chunk.size), chunk.offset);
        lock.lock();
        if (!written) {
            failed_ = true;
            changed_.notify_all();
            return;
        }
        free_.push_back(chunk.index);
        changed_.notify_all();
    }
}

}  // namespace randdump

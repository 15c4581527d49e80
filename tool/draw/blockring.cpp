#include "draw/blockring.h"

#include <sys/mman.h>

#include <algorithm>
#include <limits>
#include <new>

#include "sink/signals.h"

namespace randdump {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} * 1024 * 1024;

std::size_t RoundUp(std::size_t size, std::size_t unit)
{
    return (size + unit - 1) / unit * unit;
}

}  // namespace

void BlockRing::Release::operator()(std::byte *memory) const
{
    ::operator delete (memory, std::align_val_t{alignment});
}

BlockRing::BlockRing(Sink &sink, std::size_t block, std::optional<std::uint64_t> total,
                     unsigned sessions, std::uint64_t base, ChunkInspector *inspector)
    : sink_(sink),
      inspector_(inspector),
      base_(base),
      block_(block),
      total_(total),
      blocks_(total ? (*total + block - 1) / block : std::numeric_limits<std::uint64_t>::max()),
      // A sample smaller than a chunk (a row of restart data) takes no more memory than it needs.
      perChunk_(static_cast<std::size_t>(
          std::max<std::uint64_t>(1, std::min<std::uint64_t>(kChunkTarget / block, blocks_)))),
      chunkBytes_(perChunk_ * block),
      stride_(RoundUp(chunkBytes_, Sink::kDirectAlignment)),
      // One chunk is written while the sessions fill the next ones: each session holds a block.
      chunkCount_(std::max<std::size_t>(2, (sessions + perChunk_ - 1) / perChunk_ + 1)),
      memory_(nullptr,
              Release{stride_ * chunkCount_ >= kHugePage ? kHugePage : Sink::kDirectAlignment}),
      filled_(chunkCount_),
      early_(!sink.Durable()),
      blockFilled_(early_ ? chunkCount_ * perChunk_ : 0)
{
    const std::size_t size = stride_ * chunkCount_;
    memory_.reset(static_cast<std::byte *>(
        ::operator new (size, std::align_val_t{memory_.get_deleter().alignment})));
    // Huge pages are cheaper to pin for each direct write.
    madvise(memory_.get(), size, MADV_HUGEPAGE);
    const StopSignalsHeld held;  // the stopping signals are the main thread's to take
    writer_ = std::thread([this] { Write(); });
}

BlockRing::~BlockRing()
{
    Stop();
    if (writer_.joinable()) {
        writer_.join();
    }
}

std::uint64_t BlockRing::BlocksIn(std::uint64_t chunk) const
{
    const std::uint64_t first = chunk * perChunk_;
    return first >= blocks_ ? 0 : std::min<std::uint64_t>(perChunk_, blocks_ - first);
}

std::size_t BlockRing::BytesIn(std::uint64_t chunk) const
{
    if (!total_) {
        return chunkBytes_;
    }
    return static_cast<std::size_t>(
        std::min<std::uint64_t>(chunkBytes_, *total_ - chunk * chunkBytes_));
}

std::span<std::byte> BlockRing::ChunkAt(std::uint64_t chunk)
{
    return {memory_.get() + (chunk % chunkCount_) * stride_, chunkBytes_};
}

std::optional<BlockRing::Block> BlockRing::Claim()
{
    if (stopped_) {
        return std::nullopt;
    }
    if (StopSignal() != 0) {
        Stop();
        return std::nullopt;
    }
    const std::uint64_t index = next_++;
    if (index >= blocks_) {
        return std::nullopt;
    }
    const std::uint64_t chunk = index / perChunk_;
    if (chunk >= written_ + chunkCount_) {  // a ring ahead of the writer: wait for room
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return stopped_ || chunk < written_ + chunkCount_; });
    }
    if (stopped_) {
        return std::nullopt;
    }
    const std::size_t size =
        total_ ? static_cast<std::size_t>(std::min<std::uint64_t>(block_, *total_ - index * block_))
               : block_;
    return Block{index, base_ + index * block_,
                 ChunkAt(chunk).subspan((index % perChunk_) * block_, size)};
}

void BlockRing::Filled(const Block &block)
{
    const std::uint64_t chunk = block.index / perChunk_;
    if (early_) {
        blockFilled_[(chunk % chunkCount_) * perChunk_ + block.index % perChunk_] = true;
    }
    if (++filled_[chunk % chunkCount_] == BlocksIn(chunk)) {
        const std::lock_guard lock(mutex_);  // so that the writer cannot miss it
        changed_.notify_all();
    }
}

std::uint64_t BlockRing::ClaimedBytes() const
{
    const std::uint64_t bytes = std::min(next_.load(), blocks_) * block_;
    return base_ + (total_ ? std::min(bytes, *total_) : bytes);
}

void BlockRing::Stop()
{
    const std::lock_guard lock(mutex_);
    stopped_ = true;
    changed_.notify_all();
}

bool BlockRing::Finish()
{
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return stopped_ || BlocksIn(written_) == 0; });
    }
    Stop();
    writer_.join();
    return !failed_;
}

std::size_t BlockRing::FilledFrom(std::uint64_t chunk, std::size_t from) const
{
    const std::size_t first = static_cast<std::size_t>(chunk % chunkCount_) * perChunk_;
    const auto blocks = static_cast<std::size_t>(BlocksIn(chunk));
    while (from < blocks && blockFilled_[first + from]) {
        ++from;
    }
    return from;
}

bool BlockRing::WriteBlocks(std::uint64_t chunk, std::size_t from, std::size_t to)
{
    const std::size_t size = std::min(BytesIn(chunk), to * block_) - from * block_;
    const std::span<const std::byte> bytes = ChunkAt(chunk).subspan(from * block_, size);
    const std::uint64_t offset = base_ + chunk * chunkBytes_ + from * block_;
    if (inspector_ == nullptr) {
        return sink_.Write(bytes, offset);
    }
    if (!inspector_->Inspect({bytes, offset, block_})) {
        refused_ = true;
        return false;
    }
    const std::uint64_t before = sink_.Written();
    const bool written = sink_.Write(bytes, offset);
    inspector_->Written(bytes.first(sink_.Written() - before));
    return written;
}

// The writer thread: each chunk in turn, once all its blocks are filled, or on a stream as far
// as they are when it has waited kPatience.
void BlockRing::Write()
{
    std::unique_lock lock(mutex_);
    for (std::uint64_t chunk = 0; BlocksIn(chunk) != 0; ++chunk) {
        std::atomic<std::uint64_t> &filled = filled_[chunk % chunkCount_];
        const auto whole = [&] { return stopped_ || filled == BlocksIn(chunk); };
        std::size_t done = 0;  // the blocks of the chunk written already
        bool written = true;
        while (early_ && written && !changed_.wait_for(lock, kPatience, whole)) {
            const std::size_t ready = FilledFrom(chunk, done);
            if (ready > done) {
                lock.unlock();
                written = WriteBlocks(chunk, done, ready);
                lock.lock();
                done = ready;
            }
        }
        if (written) {
            changed_.wait(lock, whole);
            if (stopped_) {
                return;
            }
            lock.unlock();
            written = WriteBlocks(chunk, done, static_cast<std::size_t>(BlocksIn(chunk)));
        } else {
            lock.unlock();
        }
        if (early_) {
            const std::size_t first = static_cast<std::size_t>(chunk % chunkCount_) * perChunk_;
            std::fill_n(blockFilled_.begin() + static_cast<std::ptrdiff_t>(first), perChunk_,
                        false);
        }
        lock.lock();
        if (!written) {
            failed_ = true;
            stopped_ = true;
            changed_.notify_all();
            return;
        }
        filled = 0;
        written_ = chunk + 1;
        changed_.notify_all();
    }
}

}  // namespace randdump

#include "draw/generate.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "sink/signals.h"

namespace randdump {

namespace {

// The pattern laid by sample offset (the byte at `offset` holds pattern[offset % size]): its
// first 16 bytes one at a time, then fixed-size copies of 16 and of 64 bytes, which the compiler
// makes a store or two each, where calls to copy whatever size cost as much as the bytes. Copies
// of what is filled after itself where 16 is no multiple of the pattern.
void Fill(std::span<std::byte> block, std::uint64_t offset, std::span<const std::byte> pattern)
{
    constexpr std::size_t kStep = 16;
    constexpr std::size_t kPiece = 64;
    const bool steps = kStep % pattern.size() == 0;
    std::size_t filled = std::min(steps ? kStep : pattern.size(), block.size());
    std::size_t from = offset % pattern.size();
    for (std::size_t at = 0; at < filled; ++at) {
        block[at] = pattern[from];
        from = from + 1 == pattern.size() ? 0 : from + 1;
    }
    if (steps && block.size() >= kPiece) {
        for (; filled < kPiece; filled += kStep) {
            std::memcpy(&block[filled], block.data(), kStep);
        }
        for (; filled + kPiece <= block.size(); filled += kPiece) {
            std::memcpy(&block[filled], block.data(), kPiece);
        }
    }
    while (filled < block.size()) {
        const std::size_t copy = std::min(filled, block.size() - filled);
        std::memcpy(&block[filled], block.data(), copy);
        filled += copy;
    }
}

}  // namespace

CK_RV Generate(const CK_FUNCTION_LIST &p11, std::span<const CK_SESSION_HANDLE> sessions,
               BlockRing &ring, Progress &progress, std::span<const std::byte> pattern)
{
    std::mutex mutex;
    CK_RV first = CKR_OK;
    const auto draw = [&](CK_SESSION_HANDLE hSession, unsigned session) {
        while (const std::optional<BlockRing::Block> block = ring.Claim()) {
            if (!pattern.empty()) {
                Fill(block->bytes, block->offset, pattern);
            }
            // Each block is generated straight into the place it will be written from.
            const CK_RV rv = p11.C_GenerateRandom(
                hSession, reinterpret_cast<CK_BYTE_PTR>(block->bytes.data()), block->bytes.size());
            if (rv != CKR_OK) {
                const std::lock_guard lock(mutex);
                first = first == CKR_OK ? rv : first;
                ring.Stop();
                return;
            }
            ring.Filled(*block);
            if (session == 0) {
                progress.Update(ring.ClaimedBytes());
            }
        }
    };
    std::vector<std::jthread> others;
    try {
        const StopSignalsHeld held;  // the stopping signals are the main thread's to take
        for (unsigned session = 1; session < sessions.size(); ++session) {
            others.emplace_back(draw, sessions[session], session);
        }
    } catch (...) {
        ring.Stop();
        throw;
    }
    draw(sessions.front(), 0);
    others.clear();
    return first;
}

}  // namespace randdump

#include "draw/generate.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "sink/signals.h"

namespace randdump {

namespace {

// The pattern laid by sample offset (the byte at `offset` holds pattern[offset % size]), once,
// then what is filled copied after itself: a few large copies a block.
void Fill(std::span<std::byte> block, std::uint64_t offset, std::span<const std::byte> pattern)
{
    std::size_t filled = std::min(pattern.size(), block.size());
    // One division a block: a block is filled before every call.
    std::size_t from = offset % pattern.size();
    for (std::size_t at = 0; at < filled; ++at) {
        block[at] = pattern[from];
        from = from + 1 == pattern.size() ? 0 : from + 1;
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

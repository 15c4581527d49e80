#include "draw/generate.h"

#include <mutex>
#include <thread>
#include <vector>

#include "sink/signals.h"

namespace randdump {

CK_RV Generate(const CK_FUNCTION_LIST &p11, std::span<const CK_SESSION_HANDLE> sessions,
               BlockRing &ring, Progress &progress)
{
    std::mutex mutex;
    CK_RV first = CKR_OK;
    const auto draw = [&](CK_SESSION_HANDLE hSession, bool showing) {
        while (const std::optional<BlockRing::Block> block = ring.Claim()) {
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
            if (showing) {
                progress.Update(ring.ClaimedBytes());
            }
        }
    };
    std::vector<std::jthread> others;
    try {
        const StopSignalsHeld held;  // the stopping signals are the main thread's to take
        for (const CK_SESSION_HANDLE hSession : sessions.subspan(1)) {
            others.emplace_back(draw, hSession, false);
        }
    } catch (...) {
        ring.Stop();
        throw;
    }
    draw(sessions.front(), true);
    others.clear();
    return first;
}

}  // namespace randdump

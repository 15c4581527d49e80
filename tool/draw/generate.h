// The token's generator at work: every session drawing blocks for the ring.
#ifndef TOOL_GENERATE_H
#define TOOL_GENERATE_H

#include <p11-kit/pkcs11.h>

#include <span>

#include "draw/blockring.h"
#include "draw/progress.h"

namespace randdump {

// Generates the blocks the ring hands out, one C_GenerateRandom per block, through every
// session at once, each on a thread of its own (the first on the calling thread, which keeps
// the progress line too). With a `pattern`, each block is filled with it, over and over, before
// its call, so that what the token leaves unwritten can be told. The first failure stops every
// session at its next block and is returned; CKR_OK once the ring has no block left to hand out.
CK_RV Generate(const CK_FUNCTION_LIST &p11, std::span<const CK_SESSION_HANDLE> sessions,
               BlockRing &ring, Progress &progress, std::span<const std::byte> pattern = {});

}  // namespace randdump

#endif

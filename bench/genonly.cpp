// The baseline for randdump's cost: the same C_GenerateRandom calls on slot 0, one block at a time
// into one buffer, with nothing written. usage: genonly [BYTES [BLOCK]] (default 52,428,800 in
// blocks of 1,024).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "ckhelper.h"

int main(int argc, char **argv)
{
    const std::uint64_t total = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 52428800;
    const std::uint64_t block = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1024;
    CK_FUNCTION_LIST_PTR p11 = ProviderFunctions();
    if (block == 0 || p11 == nullptr || p11->C_Initialize(nullptr) != CKR_OK) {
        std::fputs("genonly: provider not usable\n", stderr);
        return 2;
    }
    CK_SESSION_HANDLE hSession = CK_INVALID_HANDLE;
    if (p11->C_OpenSession(0, CKF_RW_SESSION | CKF_SERIAL_SESSION, nullptr, nullptr, &hSession) !=
        CKR_OK) {
        std::fputs("genonly: no session on slot 0\n", stderr);
        return 1;
    }
    std::vector<CK_BYTE> buffer(block);
    unsigned checksum = 0;
    for (std::uint64_t done = 0; done < total; done += block) {
        const CK_ULONG size = total - done < block ? total - done : block;
        if (p11->C_GenerateRandom(hSession, buffer.data(), size) != CKR_OK) {
            return 4;
        }
        checksum += buffer[0];  // keeps the loop from being optimised away
    }
    p11->C_CloseSession(hSession);
    p11->C_Finalize(nullptr);
    return checksum == 0xFFFFFFFFU ? 5 : 0;
}

// The baseline for randdump's cost: the same 51,200 C_GenerateRandom calls of 1,024 bytes on slot
// 0, with nothing written.
#include <array>
#include <cstdio>

#include "ckhelper.h"

int main()
{
    CK_FUNCTION_LIST_PTR p11 = ProviderFunctions();
    if (p11 == nullptr || p11->C_Initialize(nullptr) != CKR_OK) {
        std::fputs("genonly: provider not usable\n", stderr);
        return 2;
    }
    CK_SESSION_HANDLE hSession = CK_INVALID_HANDLE;
    if (p11->C_OpenSession(0, CKF_RW_SESSION | CKF_SERIAL_SESSION, nullptr, nullptr, &hSession) !=
        CKR_OK) {
        std::fputs("genonly: no session on slot 0\n", stderr);
        return 1;
    }
    std::array<CK_BYTE, 1024> block{};
    unsigned checksum = 0;
    for (unsigned i = 0; i < 51200; ++i) {
        if (p11->C_GenerateRandom(hSession, block.data(), block.size()) != CKR_OK) {
            return 4;
        }
        checksum += block[0];  // keeps the loop from being optimised away
    }
    p11->C_CloseSession(hSession);
    p11->C_Finalize(nullptr);
    return checksum == 0xFFFFFFFFU ? 5 : 0;
}

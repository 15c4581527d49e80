// randdump: draws a fixed sample of raw random bytes from the token in slot 0 into random_0.txt.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

#include "ckhelper.h"
#include "outputfile.h"
#include "progress.h"

namespace {

constexpr CK_SLOT_ID kSlot = 0;
constexpr CK_ULONG kBlockSize = 0x400;
constexpr unsigned kBlockCount = 0xC800;
constexpr std::uint64_t kSampleSize = std::uint64_t{kBlockSize} * kBlockCount;  // 52,428,800
constexpr int kRequiredMajor = 2;
constexpr const char *kOutputName = "random_0.txt";
constexpr size_t kErrorStringSize = 100;

enum ExitStatus : int {
    kCompleted = 0,
    kNoSession = 1,
    kNoProvider = 2,
    kOutputFailed = 3,
    kGenerationFailed = 4,
    kIncompatibleVersion = -1,
};

void ReportFailure(const char *call, CK_RV rv)
{
    std::array<char, kErrorStringSize> ErrorString{};
    GetErrorString(rv, ErrorString.data(), ErrorString.size());
    std::fprintf(stderr, "%s error %lx, %s\n", call, rv, ErrorString.data());
}

void ReportOutputFailure(const randdump::OutputFile &output)
{
    std::fprintf(stderr, "Cannot write %s: %s\n", output.Target().c_str(), output.Reason().c_str());
}

// Draws every block into the output file; the file replaces random_0.txt only when all of them
// were drawn and written.
ExitStatus Dump(CK_FUNCTION_LIST &p11, CK_SESSION_HANDLE hSession)
{
    randdump::OutputFile output(kOutputName);
    if (!output.Open() || !output.Reserve(kSampleSize)) {
        ReportOutputFailure(output);
        return kOutputFailed;
    }
    randdump::Progress progress(stderr, kSampleSize);
    for (unsigned i = 0; i < kBlockCount; ++i) {
        // Each block is generated straight into the file's write buffer.
        const std::span<std::byte> pRandomData = output.Next(kBlockSize);
        if (pRandomData.empty()) {
            progress.Erase();
            ReportOutputFailure(output);
            return kOutputFailed;
        }
        const CK_RV rv = p11.C_GenerateRandom(
            hSession, reinterpret_cast<CK_BYTE_PTR>(pRandomData.data()), kBlockSize);
        if (rv != CKR_OK) {
            progress.Erase();
            ReportFailure("C_GenerateRandom", rv);
            return kGenerationFailed;
        }
        progress.Update(std::uint64_t{kBlockSize} * (i + 1));
    }
    progress.Erase();
    if (!output.Commit()) {
        ReportOutputFailure(output);
        return kOutputFailed;
    }
    return kCompleted;
}

}  // namespace

int main()
{
    std::fputs("Sorvane $Revision: 1.1 $\n", stdout);
    std::fputs("Random data dump for PKCS#11 tokens, (c) Sorvane\n", stdout);
    std::fflush(stdout);

    CK_FUNCTION_LIST_PTR p11 = ProviderFunctions();
    if (p11 == nullptr) {
        std::fprintf(stderr, "Cannot load PKCS#11 module %s: %s\n", ProviderModulePath(),
                     ProviderBindError());
        return kNoProvider;
    }

    CK_RV rv = p11->C_Initialize(nullptr);
    if (rv != CKR_OK) {
        ReportFailure("C_Initialize", rv);
    }

    rv = CheckCryptokiVersion(kRequiredMajor);
    if (rv != CKR_OK) {
        std::printf("Incompatible PKCS#11 version (0x%lx)\n", rv);
        return kIncompatibleVersion;
    }

    CK_SESSION_HANDLE hSession = CK_INVALID_HANDLE;
    rv =
        p11->C_OpenSession(kSlot, CKF_RW_SESSION | CKF_SERIAL_SESSION, nullptr, nullptr, &hSession);
    if (rv != CKR_OK) {
        return kNoSession;
    }

    const ExitStatus status = Dump(*p11, hSession);

    p11->C_CloseSession(hSession);
    rv = p11->C_Finalize(nullptr);
    if (rv != CKR_OK) {
        ReportFailure("C_Finalize", rv);
    }
    return status;
}

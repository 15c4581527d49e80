// randdump: draws a fixed sample of raw random bytes from the token in slot 0 into random_0.txt.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <span>
#include <system_error>

#include "chunkwriter.h"
#include "ckhelper.h"
#include "outputfile.h"
#include "progress.h"
#include "realuser.h"
#include "signals.h"
#include "usage.h"

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

ExitStatus OutputFailure(const char *reason)
{
    std::fprintf(stderr, "Cannot write %s: %s\n", kOutputName, reason);
    return kOutputFailed;
}

// The new sample replaced the old one, but the rename may not survive a crash.
ExitStatus NotFlushed(const char *reason)
{
    std::fprintf(stderr, "%s is in place, but its directory could not be flushed: %s\n",
                 kOutputName, reason);
    return kOutputFailed;
}

// A descriptor 0-2 that is closed would be taken by the next file opened, the sample among them,
// and whatever the module prints there would land in it.
void OpenStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF && open("/dev/null", O_RDWR) < 0) {
            std::_Exit(kOutputFailed);
        }
    }
}

// The first function randdump calls that the module's list lacks, or null.
const char *MissingFunction(const CK_FUNCTION_LIST &p11)
{
    const std::array<std::pair<bool, const char *>, 6> needed{{
        {p11.C_Initialize != nullptr, "C_Initialize"},
        {p11.C_GetInfo != nullptr, "C_GetInfo"},
        {p11.C_OpenSession != nullptr, "C_OpenSession"},
        {p11.C_GenerateRandom != nullptr, "C_GenerateRandom"},
        {p11.C_CloseSession != nullptr, "C_CloseSession"},
        {p11.C_Finalize != nullptr, "C_Finalize"},
    }};
    for (const auto &[present, name] : needed) {
        if (!present) {
            return name;
        }
    }
    return nullptr;
}

// Draws every block into the output file; the file replaces random_0.txt only when all of them
// were drawn and are on disk.
ExitStatus Dump(CK_FUNCTION_LIST &p11, CK_SESSION_HANDLE hSession)
{
    const randdump::AsRealUser user;
    randdump::OutputFile output(kOutputName, user.User());
    if (!output.Open(kSampleSize)) {
        return OutputFailure(output.Reason().c_str());
    }
    randdump::Progress progress(stderr, kSampleSize);
    randdump::ChunkWriter writer(output);
    for (unsigned i = 0; i < kBlockCount; ++i) {
        // Each block is generated straight into the chunk that will be written.
        const std::span<std::byte> pRandomData = writer.Next(kBlockSize);
        if (pRandomData.empty()) {
            progress.Erase();
            return OutputFailure(output.Reason().c_str());
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
    if (!writer.Finish() || !output.Commit()) {
        return output.InPlace() ? NotFlushed(output.Reason().c_str())
                                : OutputFailure(output.Reason().c_str());
    }
    return kCompleted;
}

}  // namespace

int main(int argc, char **argv)
{
    OpenStandardDescriptors();
    if (argc > 1) {
        return randdump::Usage(std::span(argv, static_cast<std::size_t>(argc)));
    }
    randdump::InstallSignalHandlers();
    std::fputs("Sorvane $Revision: 1.1 $\n", stdout);
    std::fputs("Random data dump for PKCS#11 tokens, (c) Sorvane\n", stdout);
    std::fflush(stdout);

    CK_FUNCTION_LIST_PTR p11 = ProviderFunctions();
    const char *missing = p11 != nullptr ? MissingFunction(*p11) : nullptr;
    if (p11 == nullptr || missing != nullptr) {
        std::fprintf(stderr, "Cannot load PKCS#11 module %s: %s%s\n", ProviderModulePath(),
                     missing != nullptr ? "its function list has no " : ProviderBindError(),
                     missing != nullptr ? missing : "");
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

    ExitStatus status = kCompleted;
    try {
        status = Dump(*p11, hSession);
    } catch (const std::system_error &error) {  // no thread for the writer
        status = OutputFailure(error.code().message().c_str());
    } catch (const std::bad_alloc &) {
        status = OutputFailure(std::strerror(ENOMEM));
    }

    p11->C_CloseSession(hSession);
    rv = p11->C_Finalize(nullptr);
    if (rv != CKR_OK) {
        ReportFailure("C_Finalize", rv);
    }
    return status;
}

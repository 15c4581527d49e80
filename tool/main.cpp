// randdump: draws a sample of raw random bytes from a PKCS#11 token into a file.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <system_error>

#include "chunkwriter.h"
#include "ckhelper.h"
#include "listing.h"
#include "options.h"
#include "outputfile.h"
#include "progress.h"
#include "realuser.h"
#include "report.h"
#include "sessions.h"
#include "signals.h"
#include "status.h"
#include "token.h"
#include "usage.h"

namespace {

using namespace randdump;  // NOLINT(google-build-using-namespace): this file is randdump's run

constexpr CK_ULONG kBlockSize = 0x400;
constexpr unsigned kBlockCount = 0xC800;
constexpr std::uint64_t kSampleSize = std::uint64_t{kBlockSize} * kBlockCount;  // 52,428,800
constexpr int kRequiredMajor = 2;

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

void PrintBanner()
{
    std::fputs("Sorvane $Revision: 1.1 $\n", stdout);
    std::fputs("Random data dump for PKCS#11 tokens, (c) Sorvane\n", stdout);
    std::fflush(stdout);
}

// The first function this run calls that the module's list lacks, or null.
const char *MissingFunction(const CK_FUNCTION_LIST &p11, const Options &options)
{
    const bool dump = options.action == Options::Action::kDump;
    const bool slots = options.action == Options::Action::kList || options.token != nullptr;
    const std::array<std::tuple<bool, bool, const char *>, 11> needed{{
        {true, p11.C_Initialize != nullptr, "C_Initialize"},
        {true, p11.C_GetInfo != nullptr, "C_GetInfo"},
        {slots, p11.C_GetSlotList != nullptr, "C_GetSlotList"},
        {slots, p11.C_GetSlotInfo != nullptr, "C_GetSlotInfo"},
        {slots, p11.C_GetTokenInfo != nullptr, "C_GetTokenInfo"},
        {dump, p11.C_OpenSession != nullptr, "C_OpenSession"},
        {options.token != nullptr, p11.C_Login != nullptr, "C_Login"},
        {dump, p11.C_GenerateRandom != nullptr, "C_GenerateRandom"},
        {dump, p11.C_CloseSession != nullptr, "C_CloseSession"},
        {true, p11.C_Finalize != nullptr, "C_Finalize"},
    }};
    for (const auto &[wanted, present, name] : needed) {
        if (wanted && !present) {
            return name;
        }
    }
    return nullptr;
}

// The module, bound and checked for what this run calls; null after saying why not.
CK_FUNCTION_LIST_PTR BindModule(const Options &options)
{
    CK_FUNCTION_LIST_PTR p11 = ProviderFunctions();
    const char *missing = p11 != nullptr ? MissingFunction(*p11, options) : nullptr;
    if (p11 == nullptr || missing != nullptr) {
        std::fprintf(stderr, "Cannot load PKCS#11 module %s: %s%s\n", ProviderModulePath(),
                     missing != nullptr ? "its function list has no " : ProviderBindError(),
                     missing != nullptr ? missing : "");
        return nullptr;
    }
    return p11;
}

// Shuts the provider down, reporting a failure without changing the run's status.
ExitStatus Finalize(const CK_FUNCTION_LIST &p11, ExitStatus status)
{
    const CK_RV rv = p11.C_Finalize(nullptr);
    if (rv != CKR_OK) {
        ReportFailure("C_Finalize", rv);
    }
    return status;
}

ExitStatus OutputFailure(const std::string &name, const std::string &reason)
{
    std::fprintf(stderr, "Cannot write %s: %s\n", name.c_str(), reason.c_str());
    return kOutputFailed;
}

// The new sample replaced the old one, but the rename may not survive a crash.
ExitStatus NotFlushed(const std::string &name, const std::string &reason)
{
    std::fprintf(stderr, "%s is in place, but its directory could not be flushed: %s\n",
                 name.c_str(), reason.c_str());
    return kOutputFailed;
}

// Draws every block into the output file; the file replaces the old sample only when all of
// them were drawn and are on disk.
ExitStatus Dump(const CK_FUNCTION_LIST &p11, CK_SESSION_HANDLE hSession, const std::string &name)
{
    const AsRealUser user;
    OutputFile output(name, user.User());
    if (!output.Open(kSampleSize)) {
        return OutputFailure(name, output.Reason());
    }
    Progress progress(stderr, kSampleSize);
    ChunkWriter writer(output);
    for (unsigned i = 0; i < kBlockCount; ++i) {
        // Each block is generated straight into the chunk that will be written.
        const std::span<std::byte> pRandomData = writer.Next(kBlockSize);
        if (pRandomData.empty()) {
            progress.Erase();
            return OutputFailure(name, output.Reason());
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
        return output.InPlace() ? NotFlushed(name, output.Reason())
                                : OutputFailure(name, output.Reason());
    }
    return kCompleted;
}

ExitStatus DumpGuarded(const CK_FUNCTION_LIST &p11, CK_SESSION_HANDLE hSession,
                       const std::string &name)
{
    try {
        return Dump(p11, hSession, name);
    } catch (const std::system_error &error) {  // no thread for the writer
        return OutputFailure(name, error.code().message());
    } catch (const std::bad_alloc &) {
        return OutputFailure(name, std::strerror(ENOMEM));
    }
}

// Opens a session on the slot, logs the user in when there is a PIN, and draws the sample. A
// session that cannot be opened on a slot the user chose is reported.
ExitStatus Draw(const CK_FUNCTION_LIST &p11, bool chosen, CK_SLOT_ID slot,
                std::unique_ptr<TokenPin> pin)
{
    Sessions sessions(p11);
    CK_RV rv = sessions.Open(slot, 1);
    if (rv != CKR_OK) {
        if (chosen) {
            ReportFailure("C_OpenSession", rv);
        }
        return kNoToken;
    }
    if (pin->Get()) {
        rv = sessions.Login(*pin->Get());
        pin.reset();
        if (rv != CKR_OK) {
            ReportFailure("C_Login", rv);
            return kNoToken;
        }
    }
    return DumpGuarded(p11, sessions.Handles().front(), "random_" + std::to_string(slot) + ".txt");
}

}  // namespace

int main(int argc, char **argv)
{
    OpenStandardDescriptors();
    Options options;
    std::string error;
    if (!ParseOptions(std::span(argv, static_cast<std::size_t>(argc)), options, error)) {
        return RefuseUsage(error);
    }
    if (options.action == Options::Action::kHelp || options.action == Options::Action::kVersion) {
        options.action == Options::Action::kHelp ? PrintHelp() : PrintVersion();
        return kCompleted;
    }
    auto pin = std::make_unique<TokenPin>();
    if (options.token != nullptr && !pin->Read(options.token)) {
        return RefuseUsage(
            "cannot read a PIN from the regular file that --token's pin-source "
            "names");
    }
    InstallSignalHandlers();
    const bool listing = options.action == Options::Action::kList;
    if (!listing) {
        PrintBanner();
    }

    CK_FUNCTION_LIST_PTR p11 = BindModule(options);
    if (p11 == nullptr) {
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
    if (listing) {
        return Finalize(*p11, ListSlots(*p11, stdout) == CKR_OK ? kCompleted : kNoToken);
    }

    // Choose the token.
    ExitStatus status = kCompleted;
    const std::optional<CK_SLOT_ID> slot = ChooseSlot(*p11, options, status);
    if (!slot) {
        return Finalize(*p11, status);
    }
    const bool chosen = options.token != nullptr || options.slot;
    status = Draw(*p11, chosen, *slot, std::move(pin));
    if (status == kNoToken && !chosen) {
        return status;  // no usable token in slot 0: the run ends at once, silent, as it always has
    }
    return Finalize(*p11, status);
}

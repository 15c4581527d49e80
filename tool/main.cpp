// randdump: draws a sample of raw random bytes from a PKCS#11 token into a file or a stream.
#include <fcntl.h>
#include <sys/auxv.h>
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

#include "binding.h"
#include "ckhelper.h"
#include "draw/blockring.h"
#include "draw/generate.h"
#include "draw/progress.h"
#include "options/options.h"
#include "options/usage.h"
#include "report.h"
#include "sink/outputfile.h"
#include "sink/realuser.h"
#include "sink/signals.h"
#include "sink/sink.h"
#include "status.h"
#include "token/listing.h"
#include "token/sessions.h"
#include "token/token.h"

namespace {

using namespace randdump;  // NOLINT(google-build-using-namespace): this file is randdump's run

constexpr int kRequiredMajor = 2;

// A descriptor 0-2 that is closed would be taken by the next file opened, the sample among them,
// and whatever the module prints there would land in it. Returns whether standard output was.
bool OpenStandardDescriptors()
{
    bool stdoutClosed = false;
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            stdoutClosed = stdoutClosed || fd == STDOUT_FILENO;
            if (open("/dev/null", O_RDWR) < 0) {
                std::_Exit(kOutputFailed);
            }
        }
    }
    return stdoutClosed;
}

// Where standard output is the product (--list, --help, --version), a failure to write it fails
// the run, as it does in coreutils.
ExitStatus CloseStandardOutput(ExitStatus status)
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0 || close(STDOUT_FILENO) != 0) {
        std::fprintf(stderr, "Cannot write standard output: %s\n", std::strerror(errno));
        return kOutputFailed;
    }
    return status;
}

void PrintBanner()
{
    std::fputs("Sorvane $Revision: 1.1 $\n", stdout);
    std::fputs("Random data dump for PKCS#11 tokens, (c) Sorvane\n", stdout);
    std::fflush(stdout);
}

// The first function this run calls that the module's list lacks, or null.
const char *MissingFunction(const CK_FUNCTION_LIST &p11, const Options &options, bool login)
{
    const bool dump = options.action == Options::Action::kDump;
    const bool slots = options.action == Options::Action::kList || options.token != nullptr;
    const bool token = slots || options.slot.has_value();
    const std::array<std::tuple<bool, bool, const char *>, 10> needed{{
        {true, p11.C_Initialize != nullptr, "C_Initialize"},
        {true, p11.C_GetInfo != nullptr, "C_GetInfo"},
        {slots, p11.C_GetSlotList != nullptr, "C_GetSlotList"},
        {slots, p11.C_GetSlotInfo != nullptr, "C_GetSlotInfo"},
        {token, p11.C_GetTokenInfo != nullptr, "C_GetTokenInfo"},
        {dump, p11.C_OpenSession != nullptr, "C_OpenSession"},
        {login, p11.C_Login != nullptr, "C_Login"},
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
CK_FUNCTION_LIST_PTR BindModule(const Options &options, bool login)
{
    CK_FUNCTION_LIST_PTR p11 = ProviderFunctions();
    const char *missing = p11 != nullptr ? MissingFunction(*p11, options, login) : nullptr;
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

// Whether the user chose the token, rather than leave randdump to slot ID 0.
bool Chosen(const Options &options)
{
    return options.token != nullptr || options.slot.has_value();
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

// Opens the sink, generates the sample through every session, and finishes the sink: a file
// replaces the old sample only when every block was drawn and is on disk.
ExitStatus DrawSample(const CK_FUNCTION_LIST &p11, const Options &options,
                      std::span<const CK_SESSION_HANDLE> sessions, const std::string &name,
                      int stdoutFd)
{
    const AsRealUser user;
    std::string reason;
    const std::unique_ptr<Sink> sink = OpenSink(options, name, stdoutFd, user.User(), reason);
    if (!sink) {
        return OutputFailure(name, reason);
    }
    Progress progress(stderr, options.bytes);
    BlockRing ring(*sink, options.block, options.bytes, options.sessions);
    const CK_RV rv = Generate(p11, sessions, ring, progress);
    progress.Erase();
    if (rv != CKR_OK) {
        ReportFailure("C_GenerateRandom", rv);
        if (rv == CKR_DATA_LEN_RANGE || rv == CKR_ARGUMENTS_BAD) {
            std::fprintf(stderr,
                         "randdump: the token refuses to generate %llu bytes in one call; a "
                         "smaller --block may do\n",
                         static_cast<unsigned long long>(options.block));
        }
        return kGenerationFailed;
    }
    if (!ring.Finish() || !sink->Commit()) {
        if (!options.bytes && sink->ReaderGone()) {
            return kCompleted;  // a stream without end ends when its reader does
        }
        return sink->InPlace() ? NotFlushed(name, sink->Reason())
                               : OutputFailure(name, sink->Reason());
    }
    return kCompleted;
}

// Why no session could be opened: in silence in the plain run, as it always was.
void ReportNoSession(const Options &options, CK_RV rv, std::size_t opened)
{
    if (options.plain) {
        return;
    }
    if (opened > 0) {
        ReportFailure("C_OpenSession", rv);
        std::fprintf(stderr,
                     "randdump: the token opened %zu of the %u sessions asked for; a smaller "
                     "--sessions may do\n",
                     opened, options.sessions);
    } else if (Chosen(options)) {
        ReportFailure("C_OpenSession", rv);
    } else {
        std::array<char, 100> ErrorString{};
        GetErrorString(rv, ErrorString.data(), ErrorString.size());
        std::fprintf(stderr,
                     "randdump: no usable token at slot ID 0 (C_OpenSession error %lx, %s); "
                     "randdump --list shows the tokens, --token or --slot chooses one\n",
                     rv, ErrorString.data());
    }
}

// Opens the sessions on the slot, logs the user in when there is a PIN, and draws the sample.
ExitStatus Draw(const CK_FUNCTION_LIST &p11, const Options &options, CK_SLOT_ID slot,
                std::unique_ptr<TokenPin> pin, int stdoutFd)
{
    Sessions sessions(p11);
    CK_RV rv = sessions.Open(slot, options.sessions, !options.plain);
    if (rv != CKR_OK) {
        ReportNoSession(options, rv, sessions.Handles().size());
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
    const std::string name = SampleName(options, slot);
    try {
        return DrawSample(p11, options, sessions.Handles(), name, stdoutFd);
    } catch (const std::system_error &error) {
        std::fprintf(stderr,
                     "randdump: the threads that draw and write the sample cannot start: %s\n",
                     error.code().message().c_str());
        return kOutputFailed;
    } catch (const std::bad_alloc &) {
        return OutputFailure(name, std::strerror(ENOMEM));
    }
}

}  // namespace

int main(int argc, char **argv)
{
    const bool stdoutClosed = OpenStandardDescriptors();
    Options options;
    std::string error;
    if (!ParseOptions(std::span(argv, static_cast<std::size_t>(argc)), options, error)) {
        return RefuseUsage(error);
    }
    if (options.action == Options::Action::kHelp || options.action == Options::Action::kVersion) {
        options.action == Options::Action::kHelp ? PrintHelp() : PrintVersion();
        return CloseStandardOutput(kCompleted);
    }
    if (options.module != nullptr) {
        // A privileged process loads only the module it was built with.
        if (getauxval(AT_SECURE) != 0) {
            return RefuseUsage("--module is refused in a setuid, setgid or capable copy");
        }
        provider::ChooseModule(options.module);
    }
    // What the options name is looked at with the rights of the user who gave them.
    auto pin = std::make_unique<TokenPin>();
    bool toStdout = false;
    {
        const AsRealUser user;
        toStdout = ToStandardOutput(options, stdoutClosed);
        if (const std::string problem = OutputProblem(options, stdoutClosed); !problem.empty()) {
            return RefuseUsage(problem);
        }
        if (options.token != nullptr && !pin->Read(options.token, error)) {
            return RefuseUsage(error);
        }
    }
    InstallSignalHandlers();
    const int stdoutFd = toStdout ? TakeStandardOutput() : -1;
    if (toStdout && stdoutFd < 0) {
        return OutputFailure("standard output", std::strerror(errno));
    }
    const bool listing = options.action == Options::Action::kList;
    if (!listing) {
        PrintBanner();
    }

    CK_FUNCTION_LIST_PTR p11 = BindModule(options, pin->Get().has_value());
    if (p11 == nullptr) {
        return kNoProvider;
    }
    // Sessions on several threads need the module to lock for itself.
    CK_C_INITIALIZE_ARGS locking{};
    locking.flags = CKF_OS_LOCKING_OK;
    CK_RV rv = p11->C_Initialize(options.sessions > 1 ? &locking : nullptr);
    if (rv != CKR_OK) {
        ReportFailure("C_Initialize", rv);
        // The plain run goes on to the version check, as it always has.
        if (!options.plain && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
            return kNoToken;
        }
    }
    rv = CheckCryptokiVersion(kRequiredMajor);
    if (rv != CKR_OK) {
        std::printf("Incompatible PKCS#11 version (0x%lx)\n", rv);
        return kIncompatibleVersion;
    }
    if (listing) {
        const ExitStatus status = ListSlots(*p11, stdout) == CKR_OK ? kCompleted : kNoToken;
        return CloseStandardOutput(Finalize(*p11, status));
    }

    // Choose the token; open the sessions and the sink, and generate.
    ExitStatus status = kCompleted;
    const std::optional<CK_SLOT_ID> slot = ChooseSlot(*p11, options, status);
    if (!slot) {
        return Finalize(*p11, status);
    }
    status = Draw(*p11, options, *slot, std::move(pin), stdoutFd);
    if (status == kNoToken && options.plain) {
        return status;  // no usable token in slot 0: the run ends at once, silent, as it always has
    }
    // Finish.
    return Finalize(*p11, status);
}

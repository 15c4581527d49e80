// randdump: draws a sample of raw random bytes from a PKCS#11 token into a file or a stream.
#include <fcntl.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "ckhelper.h"
#include "draw/rows.h"
#include "entry.h"
#include "evidence/evidence.h"
#include "evidence/record.h"
#include "options/options.h"
#include "options/usage.h"
#include "report.h"
#include "sink/realuser.h"
#include "sink/recordfile.h"
#include "sink/signals.h"
#include "sink/sink.h"
#include "status.h"
#include "token/listing.h"
#include "token/module.h"
#include "token/modulefile.h"
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

// A privileged copy (setuid, setgid, file capabilities) gives the module none of its caller's
// environment, which chooses what the module reads (SOFTHSM2_CONF names a token store): as
// sudo's env_reset, only the locale and a TZ naming no file are kept, and PATH is a fixed one.
void ResetEnvironment()
{
    std::vector<std::pair<std::string, std::string>> kept;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        const std::string_view variable(*entry);
        const std::string_view name = variable.substr(0, variable.find('='));
        const std::string_view value = variable.substr(std::min(name.size() + 1, variable.size()));
        const bool locale = name == "LANG" || name == "LANGUAGE" || name.starts_with("LC_");
        const bool zone = name == "TZ" && value.find('/') == std::string_view::npos;
        if (locale || zone) {
            kept.emplace_back(name, value);
        }
    }
    clearenv();
    setenv("PATH", "/usr/sbin:/usr/bin:/sbin:/bin", 1);
    for (const auto &[name, value] : kept) {
        setenv(name.c_str(), value.c_str(), 1);
    }
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

// The module, as the record names it; what cannot be read is null.
void DescribeModule(const CK_FUNCTION_LIST &p11, Record &record)
{
    CK_INFO info{};
    const bool known = provider::Entry(p11.C_GetInfo)(&info) == CKR_OK;
    record.Module(ProviderModulePath(),
                  DescribeModuleFile(reinterpret_cast<const void *>(p11.C_Initialize)),
                  known ? &info : nullptr);
}

// The slot and its token, as the record names them.
void DescribeToken(const CK_FUNCTION_LIST &p11, CK_SLOT_ID slot, Record &record)
{
    CK_SLOT_INFO slotInfo{};
    CK_TOKEN_INFO tokenInfo{};
    const bool slotKnown = provider::Entry(p11.C_GetSlotInfo)(slot, &slotInfo) == CKR_OK;
    const bool tokenKnown = provider::Entry(p11.C_GetTokenInfo)(slot, &tokenInfo) == CKR_OK;
    std::string uri;
    CK_ULONG size = 0;
    if (tokenKnown && GetTokenUri(slot, nullptr, &size) == CKR_OK) {
        uri.resize(size);
        uri.resize(GetTokenUri(slot, uri.data(), &size) == CKR_OK ? size - 1 : 0);
    }
    record.Token(slot, slotKnown ? &slotInfo : nullptr, tokenKnown ? &tokenInfo : nullptr, uri);
}

// The record of a run and the file it goes to, for runs with --record.
struct Recording {
    Record record;
    RecordFile file;
    bool streamSample;    // no sample file is kept, so there is none to contradict
    bool placed = false;  // the sample file was put in place
    bool unwritable = false;
};

// The sample as delivered: a file only once it is in place (nothing before), a stream as far as
// its reader took it; the hash of nothing is never given.
void DescribeSample(Recording &recording, const Options &options, CK_SLOT_ID slot,
                    Evidence &evidence, bool delivered)
{
    const std::uint64_t bytes = delivered ? evidence.Bytes() : 0;
    recording.record.Drawn({options.output != nullptr ? options.output : SampleName(options, slot),
                            bytes, options.block, options.sessions, options.restarts,
                            bytes != 0 ? std::optional(evidence.Digest()) : std::nullopt});
    if (const std::optional<Evidence::Times> when = evidence.When()) {
        recording.record.Timed(when->started, when->finished, when->seconds);
    }
    if (evidence.Checks() != nullptr) {
        recording.record.Checks(evidence.Checks()->Record());
    }
}

// Opens the sink, draws every row into it, and finishes it: a file replaces the old sample only
// when every byte was drawn, passed the checks, and is on disk, with its record written first.
// The file work is done as the user who started randdump.
ExitStatus DrawSample(const Drawing &drawing, int stdoutFd, Evidence &evidence,
                      Recording *recording)
{
    const Options &options = drawing.options;
    const std::string name = SampleName(options, drawing.slot);
    std::unique_ptr<Sink> sink;
    std::string reason;
    {
        const AsRealUser user;
        sink = OpenSink(options, name, stdoutFd, user.User(), reason);
    }
    if (!sink) {
        return OutputFailure(drawing.report, name, reason);
    }
    const HealthChecks *checks = evidence.Checks();
    ExitStatus status = DrawRows(drawing, *sink, evidence,
                                 checks != nullptr ? std::span<const std::byte>(checks->Filler())
                                                   : std::span<const std::byte>(),
                                 name);
    if (status != kCompleted) {
        return status;
    }
    const AsRealUser user;
    if (recording != nullptr && sink->Durable()) {
        DescribeSample(*recording, options, drawing.slot, evidence, true);
        recording->record.Ended(kCompleted, "");
        if (!recording->file.Stage(recording->record.Text())) {
            recording->unwritable = true;
            return OutputFailure(drawing.report, recording->file.Where(), recording->file.Reason());
        }
    }
    // A stream without end ends when its reader does.
    if (!sink->Commit() && (options.bytes || !sink->ReaderGone())) {
        if (sink->InPlace()) {
            // The new sample replaced the old one, but the rename may not survive a crash.
            if (recording != nullptr) {
                recording->placed = true;
            }
            drawing.report.Say(
                name + " is in place, but its directory could not be flushed: " + sink->Reason());
            return kOutputFailed;
        }
        return OutputFailure(drawing.report, name, sink->Reason());
    }
    if (recording != nullptr) {
        recording->placed = sink->Durable();
    }
    if (checks != nullptr && !options.quiet) {
        drawing.report.Say(checks->Summary());
    }
    return status;
}

// Opens the sessions on the slot, logs the user in when there is a PIN, and draws the sample.
ExitStatus Draw(Module &module, const Options &options, CK_SLOT_ID slot,
                std::unique_ptr<TokenPin> &pin, int stdoutFd, Report &report, Recording *recording)
{
    Sessions sessions(module.Functions());
    const Drawing drawing{module, options, slot, pin, sessions, report};
    ExitStatus status = OpenSessions(drawing, options.restarts == 1);
    if (recording != nullptr) {
        recording->record.Login(sessions.LoggedIn());
    }
    if (status != kCompleted) {
        return status;
    }
    try {
        std::optional<HealthChecks> checks;
        if (options.check) {
            checks.emplace(HealthChecks::DrawPattern(), options.block,
                           options.restarts > 1 ? options.bytes : std::nullopt);
        }
        Evidence evidence(recording != nullptr, std::move(checks));
        status = DrawSample(drawing, stdoutFd, evidence, recording);
        if (recording != nullptr) {
            DescribeSample(*recording, options, slot, evidence,
                           recording->streamSample || recording->placed);
        }
        return status;
    } catch (const std::system_error &error) {
        report.Say("randdump: the threads that draw and write the sample cannot start: " +
                   error.code().message());
        return kOutputFailed;
    } catch (const std::bad_alloc &) {
        return OutputFailure(report, SampleName(options, slot), std::strerror(ENOMEM));
    }
}

// The run once the module is bound: start it, check its version, list or choose the token and
// draw, and shut it down.
ExitStatus Run(const CK_FUNCTION_LIST &p11, const Options &options, std::unique_ptr<TokenPin> &pin,
               int stdoutFd, Report &report, Recording *recording)
{
    Record *record = recording != nullptr ? &recording->record : nullptr;
    Module module(p11, options.sessions > 1);
    const CK_RV rv = module.Initialize(report);
    if (record != nullptr) {
        DescribeModule(p11, *record);
        record->Drawn(
            {options.output != nullptr ? std::optional<std::string>(options.output) : std::nullopt,
             0, options.block, options.sessions, options.restarts, std::nullopt});
    }
    // The plain run goes on to the version check, as it always has.
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED && !options.plain) {
        return kNoToken;
    }
    if (const CK_RV version = CheckCryptokiVersion(kRequiredMajor); version != CKR_OK) {
        report.Say(Format("Incompatible PKCS#11 version (0x%lx)", version), stdout);
        return kIncompatibleVersion;
    }
    if (options.action == Options::Action::kList) {
        const CK_RV listed =
            options.json ? ListSlotsJson(p11, stdout, report) : ListSlots(p11, stdout, report);
        const ExitStatus status = listed == CKR_OK ? kCompleted : kNoToken;
        module.Finalize(report);
        return CloseStandardOutput(status);
    }

    // Choose the token; open the sessions and the sink, and generate.
    ExitStatus status = kCompleted;
    const std::optional<CK_SLOT_ID> slot = ChooseSlot(p11, options, status, report);
    if (record != nullptr && slot) {
        DescribeToken(p11, *slot, *record);
        // Only now is the name of a sample of a token chosen by its URI known.
        if (const std::string clash = RecordClash(
                options.record,
                options.output == nullptr ? SampleName(options, *slot) : std::string(), true);
            !clash.empty()) {
            report.Say("randdump: " + clash + "; see 'randdump --help'");
            module.Finalize(report);
            return kUsageError;
        }
    }
    if (slot) {
        status = Draw(module, options, *slot, pin, stdoutFd, report, recording);
        if (status == kNoToken && options.plain) {
            return status;  // no usable token in slot 0: the run ends at once, silent, as always
        }
    }
    // Finish.
    module.Finalize(report);
    return status;
}

// Writes the record of the run: where --record names when it describes the sample there (or a
// stream's), else beside it, named in the run's last message.
ExitStatus FinishRecord(Recording &recording, ExitStatus status, int shown, const Report &report,
                        bool quiet)
{
    // A command line refused once the slot was known leaves nothing behind; a record that could
    // not be written was said to be so.
    if (status == kUsageError || recording.unwritable) {
        return status;
    }
    recording.record.Ended(shown, shown == 0 ? std::string() : report.Said());
    const bool beside = !recording.streamSample && !recording.placed;
    const AsRealUser user;
    if (!recording.file.Place(recording.record.Text(), beside)) {
        std::fprintf(stderr, "Cannot write %s: %s\n", recording.file.Where().c_str(),
                     recording.file.Reason().c_str());
        return kOutputFailed;
    }
    if (beside && !quiet) {
        std::fprintf(stderr, "randdump: the record of this run is %s\n",
                     recording.file.Where().c_str());
    }
    return status;
}

}  // namespace

int main(int argc, char **argv)
{
    const bool stdoutClosed = OpenStandardDescriptors();
    if (getauxval(AT_SECURE) != 0) {
        ResetEnvironment();
    }
    Options options;
    std::string error;
    const std::span<char *> arguments(argv, static_cast<std::size_t>(argc));
    if (!ParseOptions(arguments, options, error)) {
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
        // The library binds what the variable names, when it first binds: after this.
        setenv("PKCS11_MODULE_PATH", options.module, 1);
    }
    // What the options name is looked at with the rights of the user who gave them, the
    // record's place too, before anything is loaded or drawn.
    auto pin = std::make_unique<TokenPin>();
    bool toStdout = false;
    std::unique_ptr<Sink> recordSink;
    InstallSignalHandlers();
    {
        const AsRealUser user;
        toStdout = ToStandardOutput(options, stdoutClosed);
        if (const std::string problem = OutputProblem(options, stdoutClosed); !problem.empty()) {
            return RefuseUsage(problem);
        }
        if (options.token != nullptr && !pin->Read(options.token, error)) {
            return RefuseUsage(error);
        }
        if (options.record != nullptr) {
            // The sample's name is known unless a URI chooses the token: then it is looked at
            // once the slot is chosen.
            const std::string sample = options.output != nullptr ? options.output
                                       : options.token == nullptr
                                           ? SampleName(options, options.slot.value_or(0))
                                           : std::string();
            if (const std::string clash =
                    RecordClash(options.record, toStdout ? std::string() : sample, stdoutClosed);
                !clash.empty()) {
                return RefuseUsage(clash);
            }
            recordSink = OpenPath(options.record, 0, user.User(), error);
            if (!recordSink) {
                std::fprintf(stderr, "Cannot write %s: %s\n", options.record, error.c_str());
                return kOutputFailed;
            }
        }
    }
    const int stdoutFd = toStdout ? TakeStandardOutput() : -1;
    if (toStdout && stdoutFd < 0) {
        std::fprintf(stderr, "Cannot write standard output: %s\n", std::strerror(errno));
        return kOutputFailed;
    }
    if (options.action != Options::Action::kList && !options.quiet) {
        PrintBanner();
    }

    CK_FUNCTION_LIST_PTR p11 = BindModule(options, pin->Get().has_value());
    if (p11 == nullptr) {
        return kNoProvider;
    }
    Report report;
    std::optional<Recording> recording;
    if (recordSink) {
        recording.emplace(Recording{Record(arguments),
                                    RecordFile(std::move(recordSink), options.record),
                                    toStdout || NamesAStream(options.output)});
    }
    ExitStatus status =
        Run(*p11, options, pin, stdoutFd, report, recording ? &*recording : nullptr);
    // As the shell shows it: -1 is 255, a stopping signal 128 and its number.
    int shown = static_cast<int>(static_cast<unsigned char>(status));
    const int signal = StopSignal();
    if (signal != 0) {
        shown = kInterrupted + signal;
        if (!options.plain) {
            report.Say(std::string("randdump: interrupted by ") + SignalName(signal));
        }
    }
    if (recording) {
        status = FinishRecord(*recording, status, shown, report, options.quiet);
    }
    if (signal != 0) {
        EndBySignal(signal);
    }
    return status;
}

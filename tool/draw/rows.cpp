#include "draw/rows.h"

#include <optional>

#include "draw/blockring.h"
#include "draw/generate.h"
#include "draw/progress.h"
#include "sink/signals.h"

namespace randdump {
namespace {

// Whether the user chose the token, rather than leave randdump to slot ID 0.
bool Chosen(const Options &options)
{
    return options.token != nullptr || options.slot.has_value();
}

void ReportNoSession(const Drawing &drawing, CK_RV rv)
{
    const Options &options = drawing.options;
    const std::size_t opened = drawing.sessions.Handles().size();
    if (options.plain) {
        return;
    }
    if (opened > 0) {
        drawing.report.Failure("C_OpenSession", rv);
        drawing.report.Say(
            Format("randdump: the token opened %zu of the %u sessions asked for; a "
                   "smaller --sessions may do",
                   opened, options.sessions));
    } else if (Chosen(options)) {
        drawing.report.Failure("C_OpenSession", rv);
    } else {
        drawing.report.Say("randdump: no usable token at slot ID 0 (C_OpenSession error " +
                           Result(rv) +
                           "); randdump --list shows the tokens, --token or --slot chooses one");
    }
}

// The module and the sessions started afresh, as at the start of the run.
ExitStatus Restart(const Drawing &drawing, bool last)
{
    drawing.sessions.Close();
    drawing.module.Finalize(drawing.report);
    const CK_RV rv = drawing.module.Initialize(drawing.report);
    if (rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        // C_Finalize ended nothing: the next row would go on from the same generator state.
        drawing.report.Say(
            "randdump: the module did not start afresh after C_Finalize, so its rows would not be "
            "restart data");
        return kNoToken;
    }
    if (rv != CKR_OK) {
        return kNoToken;
    }
    return OpenSessions(drawing, last);
}

ExitStatus GenerationFailure(const Drawing &drawing, CK_RV rv)
{
    drawing.report.Failure("C_GenerateRandom", rv);
    if (rv == CKR_DATA_LEN_RANGE || rv == CKR_ARGUMENTS_BAD) {
        drawing.report.Say(
            Format("randdump: the token refuses to generate %llu bytes in one call; "
                   "a smaller --block may do",
                   static_cast<unsigned long long>(drawing.options.block)));
    }
    return kGenerationFailed;
}

}  // namespace

ExitStatus OutputFailure(Report &report, const std::string &name, const std::string &reason)
{
    report.Say("Cannot write " + name + ": " + reason);
    return kOutputFailed;
}

ExitStatus OpenSessions(const Drawing &drawing, bool last)
{
    CK_RV rv =
        drawing.sessions.Open(drawing.slot, drawing.options.sessions, !drawing.options.plain);
    if (rv != CKR_OK) {
        ReportNoSession(drawing, rv);
        return kNoToken;
    }
    if (drawing.pin && drawing.pin->Get()) {
        rv = drawing.sessions.Login(*drawing.pin->Get());
        if (last) {
            drawing.pin.reset();
        }
        if (rv != CKR_OK) {
            drawing.report.Failure("C_Login", rv);
            return kNoToken;
        }
    }
    return kCompleted;
}

ExitStatus DrawRows(const Drawing &drawing, Sink &sink, Evidence &evidence,
                    std::span<const std::byte> pattern, const std::string &name)
{
    const Options &options = drawing.options;
    const std::optional<std::uint64_t> total =
        options.bytes ? std::optional(*options.bytes * options.restarts) : std::nullopt;
    Progress progress(options.quiet ? nullptr : stderr, total);
    evidence.Started();
    for (unsigned row = 0; row < options.restarts && StopSignal() == 0; ++row) {
        if (row > 0) {
            if (const ExitStatus status = Restart(drawing, row + 1 == options.restarts);
                status != kCompleted) {
                return status;
            }
        }
        BlockRing ring(sink, options.block, options.bytes, options.sessions,
                       row * options.bytes.value_or(0), &evidence);
        const CK_RV rv = Generate(drawing.module.Functions(), drawing.sessions.Handles(), ring,
                                  progress, pattern);
        const bool finished = rv == CKR_OK && ring.Finish();
        evidence.Finished();
        if (StopSignal() != 0) {
            break;
        }
        if (rv != CKR_OK) {
            progress.Erase();
            return GenerationFailure(drawing, rv);
        }
        if (!finished) {
            progress.Erase();
            if (ring.Refused()) {
                const HealthChecks::Failure failure = *evidence.Checks()->Failed();
                drawing.report.Say(Format("Token output failed a health check: %s at byte %llu",
                                          failure.check,
                                          static_cast<unsigned long long>(failure.offset)));
                return kCheckFailed;
            }
            if (!options.bytes && sink.ReaderGone()) {
                return kCompleted;  // a stream without end ends when its reader does
            }
            return OutputFailure(drawing.report, name, sink.Reason());
        }
    }
    progress.Erase();
    return StopSignal() != 0 ? kInterrupted : kCompleted;
}

}  // namespace randdump

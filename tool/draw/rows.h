// The sample drawn row by row: one row, or with --restarts one row after each start afresh of
// the module and its sessions (SP 800-90B's restart data).
#ifndef TOOL_DRAW_ROWS_H
#define TOOL_DRAW_ROWS_H

#include <p11-kit/pkcs11.h>

#include <cstddef>
#include <memory>
#include <span>
#include <string>

#include "evidence/evidence.h"
#include "options/options.h"
#include "report.h"
#include "sink/sink.h"
#include "status.h"
#include "token/module.h"
#include "token/sessions.h"
#include "token/token.h"

namespace randdump {

// What a draw works with.
struct Drawing {
    Module &module;
    const Options &options;
    CK_SLOT_ID slot;
    std::unique_ptr<TokenPin> &pin;  // wiped after the last login
    Sessions &sessions;
    Report &report;
};

// Opens the sessions on the slot and logs the user in when there is a PIN, as each row begins;
// says why not when it cannot (in silence in the plain run, as it always was). After the
// `last` row's login the PIN is wiped.
ExitStatus OpenSessions(const Drawing &drawing, bool last);

// Draws every row into the sink, each chunk shown to `evidence` first; the sessions of the first
// row are open. With a `pattern`, each block holds it before its call. `name` names the sample
// in messages.
ExitStatus DrawRows(const Drawing &drawing, Sink &sink, Evidence &evidence,
                    std::span<const std::byte> pattern, const std::string &name);

// "Cannot write NAME: REASON", and its status.
ExitStatus OutputFailure(Report &report, const std::string &name, const std::string &reason);

}  // namespace randdump

#endif

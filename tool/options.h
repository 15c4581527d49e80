// randdump's command line, read into a plain record before anything is loaded or touched.
#ifndef TOOL_OPTIONS_H
#define TOOL_OPTIONS_H

#include <p11-kit/pkcs11.h>

#include <optional>
#include <span>
#include <string>

namespace randdump {

struct Options {
    enum class Action { kDump, kList, kHelp, kVersion };
    Action action = Action::kDump;
    std::optional<CK_SLOT_ID> slot;  // --slot
    char *token = nullptr;           // --token: the URI, where the command line holds it
};

// Reads the command line into `options`. False when it is malformed; `error` then says what is
// wrong, in a phrase.
bool ParseOptions(std::span<char *> argv, Options &options, std::string &error);

}  // namespace randdump

#endif

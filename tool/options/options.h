// randdump's command line, read into a plain record before anything is loaded or touched.
#ifndef TOOL_OPTIONS_H
#define TOOL_OPTIONS_H

#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace randdump {

struct Options {
    static constexpr std::uint64_t kDefaultBytes = 52428800;  // 51,200 blocks of 1,024
    static constexpr std::uint64_t kDefaultBlock = 1024;
    static constexpr std::uint64_t kMaxBlock = std::uint64_t{1024} * 1024;
    static constexpr std::uint64_t kMaxSessions = 64;
    static constexpr std::uint64_t kMaxRestarts = 1000000;

    enum class Action { kDump, kList, kHelp, kVersion };
    Action action = Action::kDump;
    bool plain = true;               // no argument at all: the run as it always was
    const char *module = nullptr;    // --module
    std::optional<CK_SLOT_ID> slot;  // --slot
    char *token = nullptr;           // --token: the URI, where the command line holds it
    const char *output = nullptr;    // -o: a path, or "-" for standard output
    std::optional<std::uint64_t> bytes = kDefaultBytes;  // --bytes; none: unlimited
    std::uint64_t block = kDefaultBlock;                 // --block
    unsigned sessions = 1;                               // --sessions
    const char *record = nullptr;                        // --record: a path
    bool check = false;                                  // --check
    bool json = false;                                   // --json, with --list
    bool quiet = false;     // -q: no banner, progress or summary; failures still said
    unsigned restarts = 1;  // --restarts: rows of `bytes`, each after a start of its own
};

// Reads the command line into `options`. False when it is malformed; `error` then says what is
// wrong, in a phrase that names the option.
bool ParseOptions(std::span<char *> argv, Options &options, std::string &error);

}  // namespace randdump

#endif

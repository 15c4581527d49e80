#include "options/options.h"

#include <getopt.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <string_view>

#include "options/numbers.h"
#include "uri.h"

namespace randdump {
namespace {

enum Option : int {
    kOutput = 'o',
    kHelp = 'h',
    kVersion = 'V',
    kQuiet = 'q',
    kList = CHAR_MAX + 1,
    kModule,
    kToken,
    kSlot,
    kBytes,
    kBlock,
    kSessions,
    kRecord,
    kCheck,
    kRestarts,
    kJson,
    kOptionEnd
};

constexpr std::array<option, 16> kLongOptions{{
    {"output", required_argument, nullptr, kOutput},
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {"quiet", no_argument, nullptr, kQuiet},
    {"list", no_argument, nullptr, kList},
    {"token", required_argument, nullptr, kToken},
    {"slot", required_argument, nullptr, kSlot},
    {"bytes", required_argument, nullptr, kBytes},
    {"block", required_argument, nullptr, kBlock},
    {"sessions", required_argument, nullptr, kSessions},
    {"module", required_argument, nullptr, kModule},
    {"record", required_argument, nullptr, kRecord},
    {"check", no_argument, nullptr, kCheck},
    {"restarts", required_argument, nullptr, kRestarts},
    {"json", no_argument, nullptr, kJson},
    {nullptr, 0, nullptr, 0},
}};

constexpr const char *kSizes =
    "a number, with K, M, G, T or KiB, MiB, GiB, TiB (powers of 1,024) or KB, MB, GB, TB (powers "
    "of 1,000)";

// Any argument can hold a PIN (--tokne=pkcs11:...?pin-value=...): none is shown.
std::string Quoted(std::string_view text)
{
    std::string quoted(1, '\'');
    quoted.append(ckhelper::WithoutPins(text)).push_back('\'');
    return quoted;
}

// "'--name'" of a long option, "'-o'" for -o.
std::string NameOf(int option)
{
    for (const struct option &known : kLongOptions) {
        if (known.val == option && known.name != nullptr) {
            return Quoted(option == kOutput ? "-o" : std::string("--") + known.name);
        }
    }
    return Quoted(std::string("-") + static_cast<char>(option));
}

// A size from `least` to `most`, else `error` says what the option takes.
bool ReadSize(const char *text, std::uint64_t least, std::uint64_t most, const std::string &takes,
              std::uint64_t &size, std::string &error)
{
    const std::optional<std::uint64_t> value = ParseSize(text);
    if (!value || *value < least || *value > most) {
        error = takes + ", not " + Quoted(text);
        return false;
    }
    size = *value;
    return true;
}

// A URI names a token; what p11-kit cannot parse, or what would not name one, is refused here.
bool ReadToken(char *uri, Options &options, std::string &error)
{
    ckhelper::ParsedUri parsed;
    if (const std::string problem = parsed.Parse(uri, false); !problem.empty()) {
        // A URI refused may hold a PIN in a form nothing recognises: its query is not shown.
        const std::string_view text(uri);
        error = "--token: " + Quoted(text.substr(0, text.find('?'))) + " " + problem;
        return false;
    }
    options.token = uri;
    return true;
}

bool ReadOption(int option, char *argument, Options &options, std::string &error)
{
    switch (option) {
        case kHelp:
            options.action = Options::Action::kHelp;
            return true;
        case kVersion:
            options.action = Options::Action::kVersion;
            return true;
        case kQuiet:
            options.quiet = true;
            return true;
        case kList:
            options.action = Options::Action::kList;
            return true;
        case kToken:
            return ReadToken(argument, options, error);
        case kSlot:
            options.slot = ParseSlotId(argument);
            error = "--slot takes a slot ID in decimal or 0x hex, not " + Quoted(argument);
            return options.slot.has_value();
        case kOutput:
            options.output = argument;
            error = "-o takes a path, or - for standard output";
            return *argument != '\0';
        case kModule:
            options.module = argument;
            error = "--module takes the path of a PKCS#11 module";
            return *argument != '\0';
        case kBytes: {
            if (std::string_view(argument) == "unlimited") {
                options.bytes.reset();
                return true;
            }
            std::uint64_t bytes = 0;
            const bool read = ReadSize(argument, 1, kMaxSize,
                                       std::string("--bytes takes a size from 1 to 2^63 - 1 (") +
                                           kSizes + ") or unlimited",
                                       bytes, error);
            options.bytes = bytes;
            return read;
        }
        case kBlock:
            return ReadSize(argument, 1, Options::kMaxBlock,
                            "--block takes a size from 1 to 1M (1,048,576 bytes)", options.block,
                            error);
        case kRecord:
            options.record = argument;
            error = "--record takes the path of a file, not standard output";
            return *argument != '\0' && std::string_view(argument) != "-";
        case kJson:
            options.json = true;
            return true;
        case kCheck:
            options.check = true;
            return true;
        case kRestarts: {
            std::uint64_t restarts = 0;
            const bool read =
                ReadSize(argument, 1, Options::kMaxRestarts,
                         "--restarts takes a number from 1 to 1,000,000", restarts, error);
            options.restarts = static_cast<unsigned>(restarts);
            return read;
        }
        case kSessions: {
            std::uint64_t sessions = 0;
            const bool read = ReadSize(argument, 1, Options::kMaxSessions,
                                       "--sessions takes a number from 1 to 64", sessions, error);
            options.sessions = static_cast<unsigned>(sessions);
            return read;
        }
        default:
            return false;
    }
}

}  // namespace

bool ParseOptions(std::span<char *> argv, Options &options, std::string &error)
{
    options = {};
    opterr = 0;  // every message is randdump's own
    optind = 0;
    std::array<bool, kOptionEnd> seen{};
    const int argc = static_cast<int>(argv.size());
    for (int option = 0;
         (option = getopt_long(argc, argv.data(), ":o:hVq", kLongOptions.data(), nullptr)) != -1;) {
        if (option == ':') {
            error = "option " + NameOf(optopt) + " needs an argument";
            return false;
        }
        if (option == '?') {
            error = "unexpected argument " +
                    (optopt != 0 ? Quoted(std::string("-") + static_cast<char>(optopt))
                                 : Quoted(argv[static_cast<std::size_t>(optind) - 1]));
            return false;
        }
        if (seen.at(static_cast<std::size_t>(option))) {
            error = "option " + NameOf(option) + " is given twice";
            return false;
        }
        seen.at(static_cast<std::size_t>(option)) = true;
        if (!ReadOption(option, optarg, options, error)) {
            return false;
        }
    }
    options.plain = argc <= 1;
    const auto given = std::count(seen.begin(), seen.end(), true);
    const bool alone = argc == 2;
    if (optind < argc) {
        error = "unexpected argument " + Quoted(argv[static_cast<std::size_t>(optind)]);
    } else if ((seen.at(kHelp) || seen.at(kVersion)) && !alone) {
        error = "--help and --version take no other argument";
    } else if (seen.at(kJson) && !seen.at(kList)) {
        error = "--json goes with --list";
    } else if (seen.at(kList) && given != 1 + (seen.at(kModule) ? 1 : 0) +
                                              (seen.at(kQuiet) ? 1 : 0) +
                                              (seen.at(kJson) ? 1 : 0)) {
        error = "--list lists every slot and takes no other argument but --module, --json and -q";
    } else if (options.slot && options.token != nullptr) {
        error = "--slot and --token both choose the token; give one of them";
    } else if (!options.bytes && options.output == nullptr) {
        error = "--bytes unlimited writes only to standard output (-o -) or a FIFO";
    } else if (seen.at(kRestarts) && (!seen.at(kBytes) || !options.bytes)) {
        error = "--restarts draws rows of a size that --bytes gives, finite";
    } else if (options.bytes && *options.bytes > kMaxSize / options.restarts) {
        error = "--bytes times --restarts is more than 2^63 - 1 bytes, the largest sample";
    } else {
        return true;
    }
    return false;
}

}  // namespace randdump

// Fuzz target: randdump's command line read into its options, and each argument as messages and
// the record show it. The input is the arguments, separated by NUL bytes. Any broken promise
// aborts: an exception out of the parser, or a pin-value key (in any letter case) followed by
// '=' and then anything but the hidden value's "****".
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "options/options.h"
#include "uri.h"

namespace {

void Require(bool holds)
{
    if (!holds)
        std::abort();
}

// Whether every pin-value=... in `shown` is followed by "****", or by nothing at all.
bool Hidden(const std::string &shown)
{
    std::string folded(shown);
    std::transform(folded.begin(), folded.end(), folded.begin(), [](char c) {
        return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    });
    const std::string key = "pin-value";
    for (std::size_t at = folded.find(key); at != std::string::npos;
         at = folded.find(key, at + 1)) {
        std::size_t next = at + key.size();
        bool equals = false;
        while (next < shown.size() &&
               (shown[next] == '=' || std::isspace(static_cast<unsigned char>(shown[next])))) {
            equals = equals || shown[next] == '=';
            ++next;
        }
        if (equals && next < shown.size() && shown.compare(next, 4, "****") != 0 &&
            std::string_view(";?&").find(shown[next]) == std::string_view::npos)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::vector<std::string> words{"randdump"};
    words.emplace_back();
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            words.emplace_back();
        else
            words.back().push_back(static_cast<char>(data[i]));
    }
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    randdump::Options options;
    std::string error;
    try {
        randdump::ParseOptions(std::span(argv), options, error);
    } catch (...) {
        Require(false);
    }
    // The argument a refusal quotes (the rest names attributes, as "gives pin-value= twice").
    const std::size_t quoted = error.find('\'');
    Require(quoted == std::string::npos ||
            Hidden(error.substr(quoted, error.rfind('\'') - quoted)));
    for (const std::string &word : words)
        Require(Hidden(ckhelper::WithoutPins(word)));
    return 0;
}

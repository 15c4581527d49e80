// The record of a run, one JSON object a lab can file beside the sample: what made it (tool,
// command line, host, module, slot, token), the sample (where, how much, its SHA-256), when, and
// how the run ended. What the run never learnt is null.
#ifndef TOOL_EVIDENCE_RECORD_H
#define TOOL_EVIDENCE_RECORD_H

#include <p11-kit/pkcs11.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "token/modulefile.h"

namespace randdump {

// The module, a slot and a token as the record and randdump --list --json show them; each
// information null when it could not be read.
nlohmann::ordered_json ModuleObject(const std::string &path, const ModuleFile &file,
                                    const CK_INFO *info);
nlohmann::ordered_json SlotObject(CK_SLOT_ID slot, const CK_SLOT_INFO *info);
nlohmann::ordered_json TokenObject(const CK_TOKEN_INFO *info, const std::string &uri);

class Record {
public:
    // The tool, the command line (each PIN shown as ****) and the host.
    explicit Record(std::span<char *const> argv);

    // The module loaded, its file; `info` is null when C_GetInfo failed.
    void Module(const std::string &path, const ModuleFile &file, const CK_INFO *info);
    // The slot drawn from, and its token; each info null when it could not be read.
    void Token(CK_SLOT_ID slot, const CK_SLOT_INFO *slotInfo, const CK_TOKEN_INFO *tokenInfo,
               const std::string &uri);
    struct Sample {
        std::optional<std::string> output;  // the path as given, or "-"; none when not known
        std::uint64_t bytes = 0;
        std::uint64_t block = 0;
        unsigned sessions = 0;
        unsigned restarts = 0;
        std::optional<std::string> sha256;
    };
    void Drawn(const Sample &sample);
    // When the draw's first call was made, and its last byte written, and the seconds between.
    void Timed(std::chrono::system_clock::time_point started,
               std::chrono::system_clock::time_point finished, double seconds);
    void Checks(nlohmann::ordered_json checks);
    // Whether the run logged in with a PIN.
    void Login(bool loggedIn) { login_ = loggedIn; }
    // How the run ended: its exit status, and what it said of a failure.
    void Ended(int status, const std::string &message);

    // The record, as the file holds it.
    [[nodiscard]] std::string Text() const;

private:
    using Json = nlohmann::ordered_json;
    using Clock = std::chrono::system_clock;

    Json tool_;
    Json commandLine_;
    Json host_;
    Json module_;
    Json slot_;
    Json token_;
    Json sample_;
    std::optional<Clock::time_point> started_;
    std::optional<Clock::time_point> finished_;
    double seconds_ = 0;
    int status_ = 0;
    Json message_;
    std::optional<Json> checks_;
    bool login_ = false;
};

}  // namespace randdump

#endif

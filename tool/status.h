// randdump's exit statuses: the stage at which a run ended.
#ifndef TOOL_STATUS_H
#define TOOL_STATUS_H

namespace randdump {

enum ExitStatus : int {
    kCompleted = 0,
    kNoToken = 1,  // no session, a failed login, no single token matching
    kNoProvider = 2,
    kOutputFailed = 3,
    kGenerationFailed = 4,
    kCheckFailed = 5,    // the token answered CKR_OK with bytes that are not random
    kUsageError = 64,    // EX_USAGE
    kInterrupted = 128,  // and the stopping signal's number
    kIncompatibleVersion = -1,
};

}  // namespace randdump

#endif

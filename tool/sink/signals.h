// What becomes of a run that is stopped: a named temporary file does not outlive it.
#ifndef TOOL_SIGNALS_H
#define TOOL_SIGNALS_H

#include <csignal>

#include <string>

namespace randdump {

// SIGINT, SIGTERM, SIGHUP and SIGQUIT: the first asks the run to stop (StopSignal()), so that it
// ends with its record; a second one removes the files RemoveOnSignal() named and ends the
// process at once, as the signal would have. SIGXFSZ is ignored, so that a file size limit shows
// as the write's error ("File too large") instead of a silent death; so is SIGPIPE, so that a
// reader that goes away shows as EPIPE.
void InstallSignalHandlers();

// The stopping signal that arrived, or 0.
int StopSignal();
// "SIGINT", for a stopping signal.
const char *SignalName(int signal);
// Ends the process as `signal` would have ended it.
[[noreturn]] void EndBySignal(int signal);

// Names a file this process has just created, by its name in a directory it holds open (two at
// a time: the sample's and the record's); returns what ForgetOnSignal() takes to let it be, -1
// when the name cannot be kept.
int RemoveOnSignal(int directoryFd, const std::string &name);
void ForgetOnSignal(int slot);

// Holds the stopping signals back while it lives: a file is created and named for removal with
// no signal in between, so neither a stray file nor another's file with the same name is left to
// the handler.
class StopSignalsHeld {
public:
    StopSignalsHeld();
    ~StopSignalsHeld();
    StopSignalsHeld(const StopSignalsHeld &) = delete;
    StopSignalsHeld &operator=(const StopSignalsHeld &) = delete;
    StopSignalsHeld(StopSignalsHeld &&) = delete;
    StopSignalsHeld &operator=(StopSignalsHeld &&) = delete;

private:
    sigset_t saved_{};
};

}  // namespace randdump

#endif

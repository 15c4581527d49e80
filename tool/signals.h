// What becomes of a run that is stopped: a named temporary file does not outlive it.
#ifndef TOOL_SIGNALS_H
#define TOOL_SIGNALS_H

#include <string>

namespace randdump {

// On SIGINT, SIGTERM, SIGHUP and SIGQUIT, removes the file RemoveOnSignal() last named, if any,
// then lets the signal end the process as it would have. SIGXFSZ is ignored, so that a file size
// limit shows as the write's error ("File too large") instead of a silent death.
void InstallSignalHandlers();

void RemoveOnSignal(const std::string &path);
void ForgetOnSignal();

}  // namespace randdump

#endif

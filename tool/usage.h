// randdump's command line: it takes no arguments but --help and --version.
#ifndef TOOL_USAGE_H
#define TOOL_USAGE_H

#include <span>

namespace randdump {

// Answers a command line with arguments, before any module is loaded or any file touched: the
// usage or the version on standard output (status 0), or the unexpected argument on standard
// error (status 64). Returns the exit status.
int Usage(std::span<char *> argv);

}  // namespace randdump

#endif

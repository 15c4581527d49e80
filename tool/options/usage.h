// What randdump says about its command line: the usage, the version, and a refusal.
#ifndef TOOL_USAGE_H
#define TOOL_USAGE_H

#include <string>

namespace randdump {

// The usage on standard output.
void PrintHelp();
// The version on standard output.
void PrintVersion();
// One line on standard error for a malformed command line; returns its exit status, 64.
int RefuseUsage(const std::string &error);

}  // namespace randdump

#endif

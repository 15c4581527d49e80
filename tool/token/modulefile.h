// The module's own file, so that a record tells which build of a vendor's module made a sample.
#ifndef TOOL_TOKEN_MODULEFILE_H
#define TOOL_TOKEN_MODULEFILE_H

#include "evidence/record.h"

namespace randdump {

// The SHA-256 and size of the file loaded that holds `code` (a function of the module's): the
// file the dynamic loader mapped, opened by the name it gives and checked to be the file mapped
// (its device and inode, where /proc shows them). Nothing when it cannot be read or is not that
// file.
ModuleFile DescribeModuleFile(const void *code);

}  // namespace randdump

#endif

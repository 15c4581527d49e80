// The module's own file, so that a record tells which build of a vendor's module made a sample.
#ifndef TOOL_TOKEN_MODULEFILE_H
#define TOOL_TOKEN_MODULEFILE_H

#include <cstdint>
#include <optional>
#include <string>

namespace randdump {

// The module's own file; nothing when it could not be read.
struct ModuleFile {
    std::optional<std::string> sha256;  // lower-case hex
    std::optional<std::uint64_t> size;
};

// The SHA-256 and size of the file loaded that holds `code` (a function of the module's): the
// file the dynamic loader mapped, opened by the name it gives and checked to be the file mapped
// (its device and inode, where /proc shows them). Nothing when it cannot be read or is not that
// file.
ModuleFile DescribeModuleFile(const void *code);

}  // namespace randdump

#endif

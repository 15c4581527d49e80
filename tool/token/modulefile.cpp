#include "token/modulefile.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "descriptor.h"
#include "evidence/hash.h"

namespace randdump {
namespace {

// A number of /proc/self/maps, in `base`; none when the text is not one.
std::optional<std::uintmax_t> Number(std::string_view text, int base)
{
    std::uintmax_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return error == std::errc() && end == text.data() + text.size() && !text.empty()
               ? std::optional(value)
               : std::nullopt;
}

// Whether /proc/self/maps gives the mapping that holds `code` as the file `file` is; true when
// it cannot be read (no /proc), false when it shows another file. A line: FROM-TO PERMISSIONS
// OFFSET MAJOR:MINOR INODE PATH, the numbers but the inode in hex.
bool MappedFrom(const void *code, const struct stat &file)
{
    std::ifstream maps("/proc/self/maps");
    if (!maps) {
        return true;
    }
    const auto address = reinterpret_cast<std::uintptr_t>(code);
    for (std::string line; std::getline(maps, line);) {
        std::istringstream fields(line);
        std::string range;
        std::string permissions;
        std::string offset;
        std::string device;
        std::string inode;
        fields >> range >> permissions >> offset >> device >> inode;
        const std::string_view span(range);
        const std::string_view numbers(device);
        const auto from = Number(span.substr(0, span.find('-')), 16);
        const auto to = Number(span.substr(span.find('-') + 1), 16);
        if (!from || !to || address < *from || address >= *to) {
            continue;
        }
        return Number(numbers.substr(0, numbers.find(':')), 16) == ::major(file.st_dev) &&
               Number(numbers.substr(numbers.find(':') + 1), 16) == ::minor(file.st_dev) &&
               Number(inode, 10) == file.st_ino;
    }
    return false;
}

}  // namespace

ModuleFile DescribeModuleFile(const void *code)
{
    Dl_info info{};
    if (code == nullptr || dladdr(code, &info) == 0 || info.dli_fname == nullptr) {
        return {};
    }
    const ckhelper::Descriptor fd(open(info.dli_fname, O_RDONLY | O_CLOEXEC));
    struct stat file {};
    if (fd.Get() < 0 || fstat(fd.Get(), &file) != 0 || !S_ISREG(file.st_mode) ||
        !MappedFrom(code, file)) {
        return {};
    }
    Sha256 hash;
    std::vector<std::byte> buffer(std::size_t{1} << 20);
    std::uint64_t size = 0;
    for (ssize_t got = 0; (got = read(fd.Get(), buffer.data(), buffer.size())) != 0;) {
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return {};
        }
        hash.Update(std::span(buffer).first(static_cast<std::size_t>(got)));
        size += static_cast<std::uint64_t>(got);
    }
    return {hash.HexDigest(), size};
}

}  // namespace randdump

#include "token/modulefile.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <vector>

#include "descriptor.h"
#include "evidence/hash.h"

namespace randdump {
namespace {

// Whether /proc/self/maps gives the mapping that holds `code` as the file `file` is; true when
// it cannot be read (no /proc), false when it shows another file.
bool MappedFrom(const void *code, const struct stat &file)
{
    std::ifstream maps("/proc/self/maps");
    if (!maps) {
        return true;
    }
    const auto address = reinterpret_cast<std::uintptr_t>(code);
    for (std::string line; std::getline(maps, line);) {
        std::uintmax_t from = 0;
        std::uintmax_t to = 0;
        unsigned major = 0;
        unsigned minor = 0;
        std::uintmax_t inode = 0;
        if (std::sscanf(line.c_str(), "%jx-%jx %*s %*s %x:%x %ju", &from, &to, &major, &minor,
                        &inode) == 5 &&
            address >= from && address < to) {
            return major == ::major(file.st_dev) && minor == ::minor(file.st_dev) &&
                   inode == file.st_ino;
        }
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

#include "outputfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace randdump {
namespace {

// 1 MiB: a 50 MiB sample takes fifty write calls, and the buffer adds about 1 MiB to the
// program's peak memory.
constexpr size_t kBufferSize = size_t{1024} * 1024;

// A plain create: the system's umask decides the final permissions.
constexpr mode_t kCreateMode = 0666;

std::string DirectoryOf(const std::string &path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A name beside the target that no other file has yet; the caller creates it with O_EXCL or
// link(), which fail with EEXIST when another process took it meanwhile.
std::string TemporaryName(const std::string &target, unsigned attempt)
{
    return target + ".tmp." + std::to_string(getpid()) + "." + std::to_string(attempt);
}

constexpr unsigned kNameAttempts = 100;

}  // namespace

OutputFile::OutputFile(std::string target)
    : target_(std::move(target)), directory_(DirectoryOf(target_))
{
}

OutputFile::~OutputFile()
{
    Discard();
}

bool OutputFile::Fail()
{
    reason_ = std::strerror(errno);
    Discard();
    return false;
}

void OutputFile::Discard()
{
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    if (!namedPath_.empty()) {
        unlink(namedPath_.c_str());
        namedPath_.clear();
    }
}

bool OutputFile::Open()
{
    // Refuse before any work is done rather than after the whole sample was drawn.
    struct stat existing {};
    if (stat(target_.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) {
        errno = EISDIR;
        return Fail();
    }
    buffer_.resize(kBufferSize);
    used_ = 0;
    fd_ = open(directory_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, kCreateMode);
    if (fd_ >= 0) {
        return true;
    }
    // Some file systems cannot hold unnamed files.
    if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
        return OpenNamed();
    }
    return Fail();
}

bool OutputFile::OpenNamed()
{
    for (unsigned attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::string path = TemporaryName(target_, attempt);
        fd_ = open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, kCreateMode);
        if (fd_ >= 0) {
            namedPath_ = std::move(path);
            return true;
        }
        if (errno != EEXIST) {
            return Fail();
        }
    }
    return Fail();
}

bool OutputFile::Reserve(std::uint64_t size)
{
    if (fallocate(fd_, 0, 0, static_cast<off_t>(size)) == 0) {
        return true;
    }
    // Where the file system cannot reserve space, the writes themselves will tell.
    return errno == EOPNOTSUPP || Fail();
}

std::span<std::byte> OutputFile::Next(std::size_t size)
{
    if (size > buffer_.size() || (used_ + size > buffer_.size() && !Flush())) {
        return {};
    }
    const std::span<std::byte> next = std::span(buffer_).subspan(used_, size);
    used_ += size;
    return next;
}

bool OutputFile::Flush()
{
    std::span<const std::byte> pending = std::span(buffer_).first(used_);
    while (!pending.empty()) {
        const ssize_t written = write(fd_, pending.data(), pending.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Fail();
        }
        pending = pending.subspan(static_cast<size_t>(written));
    }
    used_ = 0;
    return true;
}

bool OutputFile::LinkTemporaryName()
{
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    for (unsigned attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::string path = TemporaryName(target_, attempt);
        if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            namedPath_ = std::move(path);
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    return false;
}

bool OutputFile::Commit()
{
    if (fd_ < 0) {
        errno = EBADF;
        return Fail();
    }
    // fsync before the rename: after a crash the target holds either the old file or the whole
    // new one, never a short one.
    if (!Flush() || fsync(fd_) != 0) {
        return Fail();
    }
    if (namedPath_.empty() && !LinkTemporaryName()) {
        return Fail();
    }
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) {
        return Fail();
    }
    if (rename(namedPath_.c_str(), target_.c_str()) != 0) {
        return Fail();
    }
    namedPath_.clear();
    return true;
}

}  // namespace randdump

#include "sink/outputfile.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "sink/signals.h"

namespace randdump {
namespace {

// A plain create: the umask decides a new file's permissions.
constexpr mode_t kCreateMode = 0666;
// Until it is moved into place, the sample is the process's alone.
constexpr mode_t kPrivateMode = 0600;
constexpr unsigned kNameAttempts = 100;

// Read before main, when no other thread can create a file under the momentary umask of 0.
const mode_t kUmask = []() noexcept {
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}();

std::string DirectoryOf(const std::string &path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string &path)
{
    return path.substr(path.rfind('/') + 1);
}

// A name beside the target that nobody can guess, and so take, in advance. Empty when the
// kernel gives no random bytes.
std::string TemporaryName(const std::string &target)
{
    constexpr std::string_view kAlphabet = "abcdefghijklmnopqrstuvwxyz234567";
    std::array<unsigned char, 12> random{};
    if (getrandom(random.data(), random.size(), 0) != static_cast<ssize_t>(random.size())) {
        return {};
    }
    std::string name = target + ".tmp.";
    for (const unsigned char byte : random) {
        name += kAlphabet[byte % kAlphabet.size()];
    }
    return name;
}

}  // namespace

OutputFile::OutputFile(const std::string &target, uid_t user, std::optional<FileId> expected)
    : directory_(DirectoryOf(target)), name_(NameOf(target)), user_(user), expected_(expected)
{
}

OutputFile::~OutputFile()
{
    Discard();
}

bool OutputFile::Fail()
{
    reason_ = std::strerror(errno);
    return false;
}

void OutputFile::Discard()
{
    if (!temporaryName_.empty()) {
        unlinkat(directoryFd_, temporaryName_.c_str(), 0);
        ForgetOnSignal(signalSlot_);
        temporaryName_.clear();
    }
    for (int *fd : {&fd_, &directoryFd_}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

bool OutputFile::Open(std::uint64_t size)
{
    directoryFd_ = open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directoryFd_ < 0) {
        return Fail();
    }
    if (!CheckTarget(size)) {
        return reason_.empty() ? Fail() : false;
    }
    if (!CreateUnnamed() && !CreateNamed()) {
        return Fail();
    }
    const int flags = fcntl(fd_, F_GETFL);
    direct_ = flags >= 0 && fcntl(fd_, F_SETFL, flags | O_DIRECT) == 0;
    return Reserve(size);
}

// Refuses what a plain create would refuse, and what the file system would refuse only at the
// end of the work. A link is judged as itself: its target is never looked at.
bool OutputFile::CheckTarget(std::uint64_t size)
{
    struct stat existing {};
    if (fstatat(directoryFd_, name_.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(existing.st_mode)) {
            errno = EISDIR;
            return false;
        }
        if (expected_ &&
            (existing.st_dev != expected_->device || existing.st_ino != expected_->inode)) {
            reason_ = "another file took its name while randdump opened it";
            return false;
        }
        const bool link = S_ISLNK(existing.st_mode);
        if (!link && faccessat(directoryFd_, name_.c_str(), W_OK, AT_EACCESS) != 0) {
            return false;
        }
        // In a sticky directory only the file's or the directory's owner may replace it.
        struct stat directory {};
        if (fstat(directoryFd_, &directory) != 0) {
            return false;
        }
        if ((directory.st_mode & S_ISVTX) != 0 && user_ != 0 && existing.st_uid != user_ &&
            directory.st_uid != user_) {
            errno = EACCES;
            return false;
        }
        replacing_ = !link;
        owner_ = existing.st_uid;
        group_ = existing.st_gid;
        mode_ = existing.st_mode & 0777;
    } else if (errno != ENOENT || expected_) {
        return false;
    }
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        limit.rlim_cur < size) {
        errno = EFBIG;
        return false;
    }
    return true;
}

// An unnamed file is of use only if it can be given a name at the end: through /proc, or by
// linkat(AT_EMPTY_PATH), which older kernels grant only with CAP_DAC_READ_SEARCH. Found out now,
// on a throwaway file: one that was linked once cannot be linked again after its unlinking.
bool OutputFile::CreateUnnamed()
{
    fd_ = openat(directoryFd_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, kPrivateMode);
    if (fd_ < 0 || access("/proc/self/fd", X_OK) == 0) {
        return fd_ >= 0;
    }
    const int probe = openat(directoryFd_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, kPrivateMode);
    const bool linkable = probe >= 0 && LinkUnnamed(probe);
    if (probe >= 0) {
        close(probe);
    }
    if (linkable) {
        unlinkat(directoryFd_, temporaryName_.c_str(), 0);
        ForgetOnSignal(signalSlot_);
        temporaryName_.clear();
        return true;
    }
    close(fd_);
    fd_ = -1;
    return false;
}

bool OutputFile::CreateNamed()
{
    return TakeTemporaryName([this](const char *name) {
        fd_ = openat(directoryFd_, name, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, kPrivateMode);
        return fd_ >= 0;
    });
}

bool OutputFile::LinkUnnamed(int fd)
{
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return TakeTemporaryName([&](const char *name) {
        return linkat(fd, "", directoryFd_, name, AT_EMPTY_PATH) == 0 ||
               (errno != EEXIST &&
                linkat(AT_FDCWD, self.c_str(), directoryFd_, name, AT_SYMLINK_FOLLOW) == 0);
    });
}

// Tries unpredictable names beside the target until `create` makes a file under one (another
// file may have a name by chance: EEXIST). The file made is removed if a signal stops the run;
// a file that was there before is not this process's to remove.
bool OutputFile::TakeTemporaryName(const std::function<bool(const char *name)> &create)
{
    for (unsigned attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::string name = TemporaryName(name_);
        if (name.empty()) {
            return false;
        }
        const StopSignalsHeld held;
        if (create(name.c_str())) {
            signalSlot_ = RemoveOnSignal(directoryFd_, name);
            temporaryName_ = std::move(name);
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    return false;
}

bool OutputFile::Reserve(std::uint64_t size)
{
    if (size == 0) {  // fallocate() takes no empty range
        return true;
    }
    if (fallocate(fd_, 0, 0, static_cast<off_t>(size)) == 0) {
        return true;
    }
    if (errno != EOPNOTSUPP) {
        return Fail();
    }
    // The file system cannot reserve space; at least it must have enough free now, if it tells
    // its size at all (ramfs reports none, and is not full for that).
    struct statvfs space {};
    if (fstatvfs(fd_, &space) == 0 && space.f_blocks != 0 &&
        std::uint64_t{space.f_bavail} * space.f_frsize < size) {
        errno = ENOSPC;
        return Fail();
    }
    return true;
}

bool OutputFile::Write(std::span<const std::byte> bytes, std::uint64_t offset)
{
    const std::uint64_t start = offset;
    const bool written = WriteAll(bytes, [&](std::span<const std::byte> rest) {
        const bool aligned =
            reinterpret_cast<std::uintptr_t>(rest.data()) % kDirectAlignment == 0 &&
            rest.size() % kDirectAlignment == 0 && offset % kDirectAlignment == 0;
        if (direct_ && !aligned) {
            direct_ = fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) & ~O_DIRECT) != 0;
        }
        const ssize_t done = pwrite(fd_, rest.data(), rest.size(), static_cast<off_t>(offset));
        offset += done > 0 ? static_cast<std::uint64_t>(done) : 0;
        Wrote(done > 0 ? static_cast<std::uint64_t>(done) : 0);
        return done;
    });
    if (!written) {
        return Fail();
    }
    if (!direct_) {
        // Start the writeback now rather than leave it all to the final fsync.
        sync_file_range(fd_, static_cast<off_t>(start), static_cast<off_t>(offset - start),
                        SYNC_FILE_RANGE_WRITE);
    }
    return true;
}

bool OutputFile::Rewrite(std::span<const std::byte> bytes)
{
    if (fd_ < 0 || ftruncate(fd_, 0) != 0) {
        return Fail();
    }
    return Write(bytes, 0) && (fsync(fd_) == 0 || Fail());
}

// A replaced file keeps its mode, and its owner and group where the user may set them; a new
// one (a link replaced included) gets a plain create's mode.
bool OutputFile::GiveFinalMode() const
{
    if (!replacing_) {
        return fchmod(fd_, kCreateMode & ~kUmask) == 0;
    }
    if (fchown(fd_, owner_, group_) != 0 && fchown(fd_, -1, group_) != 0) {
        // The new file keeps the creator's owner and group.
    }
    return fchmod(fd_, mode_) == 0;
}

bool OutputFile::Commit()
{
    // fsync before the rename: after a crash the target holds either the old file or the whole
    // new one, never a short one.
    if (fd_ < 0 || !GiveFinalMode() || fsync(fd_) != 0 ||
        (temporaryName_.empty() && !LinkUnnamed(fd_))) {
        return Fail();
    }
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) {
        return Fail();
    }
    {
        const StopSignalsHeld held;
        if (renameat(directoryFd_, temporaryName_.c_str(), directoryFd_, name_.c_str()) != 0) {
            return Fail();
        }
        ForgetOnSignal(signalSlot_);
        temporaryName_.clear();
    }
    inPlace_ = true;
    // The rename is on disk only once the directory is.
    return fsync(directoryFd_) == 0 || Fail();
}

}  // namespace randdump

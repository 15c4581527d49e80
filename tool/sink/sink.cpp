#include "sink/sink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "descriptor.h"
#include "sink/outputfile.h"
#include "sink/stream.h"

namespace randdump {
namespace {

using ckhelper::Descriptor;

bool Same(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string Quoted(std::string_view text)
{
    std::string quoted(1, '\'');
    quoted.append(text).push_back('\'');
    return quoted;
}

// A FIFO or character device named by -o, opened for writing (a socket cannot be): the object
// the kernel gave for `path` before, and not another put there since.
std::unique_ptr<Sink> OpenStream(const char *path, const struct stat &found, std::string &reason)
{
    Descriptor fd(open(path, O_WRONLY | O_NOCTTY | O_CLOEXEC));
    struct stat opened {};
    if (fd.Get() < 0 || fstat(fd.Get(), &opened) != 0) {
        reason = std::strerror(errno);
        return nullptr;
    }
    if (!Same(found, opened)) {
        reason = "it was replaced while randdump opened it";
        return nullptr;
    }
    return std::make_unique<Stream>(fd.Release());
}

// The regular file a link given to -o leads to, found where it is: the file the kernel gave,
// checked to be the one at the place found.
std::optional<std::string> LinkedFile(const char *path, const struct stat &found,
                                      std::string &reason)
{
    const std::unique_ptr<char, decltype(&std::free)> real(realpath(path, nullptr), &std::free);
    struct stat there {};
    if (!real || lstat(real.get(), &there) != 0) {
        reason = std::strerror(errno);
        return std::nullopt;
    }
    if (!Same(found, there)) {
        reason = "the file its link leads to was replaced while randdump looked at it";
        return std::nullopt;
    }
    return std::string(real.get());
}

}  // namespace

bool NamesAStream(const char *path)
{
    struct stat target {};
    return path != nullptr && stat(path, &target) == 0 &&
           (S_ISFIFO(target.st_mode) || S_ISCHR(target.st_mode));
}

std::string RecordClash(const char *record, const std::string &sample, bool stdoutClosed)
{
    struct stat named {};
    struct stat other {};
    const bool exists = stat(record, &named) == 0;
    if (exists && !stdoutClosed && fstat(STDOUT_FILENO, &other) == 0 && Same(named, other)) {
        return "--record " + Quoted(record) +
               " is the file standard output writes to; give the record a file of its own";
    }
    bool same = false;
    if (!sample.empty() && stat(sample.c_str(), &other) == 0) {
        same = exists && Same(named, other);
    } else if (!sample.empty() && !exists) {
        // Neither is there yet: the same name in the same directory.
        struct stat recordDirectory {};
        struct stat sampleDirectory {};
        const std::string_view recordPath(record);
        const auto directory = [](std::string_view path) {
            const std::size_t slash = path.rfind('/');
            return slash == std::string_view::npos ? std::string(".")
                                                   : std::string(path.substr(0, slash + 1));
        };
        const auto name = [](std::string_view path) { return path.substr(path.rfind('/') + 1); };
        same = name(recordPath) == name(sample) &&
               stat(directory(recordPath).c_str(), &recordDirectory) == 0 &&
               stat(directory(sample).c_str(), &sampleDirectory) == 0 &&
               Same(recordDirectory, sampleDirectory);
    }
    return same ? "--record " + Quoted(record) + " is the sample's own file " + Quoted(sample) +
                      "; give the record a file of its own"
                : "";
}

bool ToStandardOutput(Options &options, bool stdoutClosed)
{
    if (options.output == nullptr) {
        return false;
    }
    struct stat out {};
    struct stat named {};
    if (std::string_view(options.output) != "-" && !stdoutClosed &&
        fstat(STDOUT_FILENO, &out) == 0 && stat(options.output, &named) == 0 && Same(out, named)) {
        options.output = "-";
    }
    return std::string_view(options.output) == "-";
}

std::string SampleName(const Options &options, CK_SLOT_ID slot)
{
    if (options.output == nullptr) {
        return "random_" + std::to_string(slot) + ".txt";
    }
    return std::string_view(options.output) == "-" ? "standard output" : options.output;
}

std::string OutputProblem(const Options &options, bool stdoutClosed)
{
    if (options.output != nullptr && std::string_view(options.output) == "-") {
        if (stdoutClosed) {
            return "-o -: standard output is closed; open it on the sample's reader";
        }
        return isatty(STDOUT_FILENO) == 1 ? "-o -: standard output is a terminal; pipe the sample "
                                            "to its reader, or name a file with -o"
                                          : "";
    }
    struct stat target {};
    if (!options.bytes && (options.output == nullptr || stat(options.output, &target) != 0 ||
                           !S_ISFIFO(target.st_mode))) {
        return "--bytes unlimited writes only to standard output (-o -) or a FIFO";
    }
    return "";
}

int TakeStandardOutput()
{
    const int fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (fd >= 0 && dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

std::unique_ptr<Sink> OpenPath(const char *path, std::uint64_t size, uid_t user,
                               std::string &reason)
{
    std::string target = path;
    std::optional<FileId> expected;
    // What the kernel gives for the path, following a link as a redirection would.
    const Descriptor found(open(path, O_PATH | O_CLOEXEC));
    struct stat link {};
    struct stat opened {};
    if (found.Get() < 0) {
        if (errno != ENOENT || (lstat(path, &link) == 0 && S_ISLNK(link.st_mode))) {
            reason = std::strerror(errno);  // a link that leads nowhere is not replaced either
            return nullptr;
        }
    } else if (fstat(found.Get(), &opened) != 0) {
        reason = std::strerror(errno);
        return nullptr;
    } else if (S_ISBLK(opened.st_mode)) {
        reason = "it is a block device, which randdump never writes to";
        return nullptr;
    } else if (!S_ISREG(opened.st_mode) && !S_ISDIR(opened.st_mode)) {
        return OpenStream(path, opened, reason);
    } else if (S_ISREG(opened.st_mode)) {
        expected = FileId{opened.st_dev, opened.st_ino};
        if (lstat(path, &link) == 0 && S_ISLNK(link.st_mode)) {
            const std::optional<std::string> linked = LinkedFile(path, opened, reason);
            if (!linked) {
                return nullptr;
            }
            target = *linked;
        }
    }
    auto file = std::make_unique<OutputFile>(target, user, expected);
    if (!file->Open(size)) {
        reason = file->Reason();
        return nullptr;
    }
    return file;
}

std::unique_ptr<Sink> OpenSink(const Options &options, const std::string &name, int stdoutFd,
                               uid_t user, std::string &reason)
{
    if (stdoutFd >= 0) {
        return std::make_unique<Stream>(stdoutFd);
    }
    const std::uint64_t size = options.bytes.value_or(0) * options.restarts;
    if (options.output != nullptr) {
        return OpenPath(options.output, size, user, reason);
    }
    auto file = std::make_unique<OutputFile>(name, user);
    if (!file->Open(size)) {
        reason = file->Reason();
        return nullptr;
    }
    return file;
}

}  // namespace randdump

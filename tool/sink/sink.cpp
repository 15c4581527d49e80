#include "sink/sink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "sink/outputfile.h"
#include "sink/stream.h"

namespace randdump {
namespace {

// A path that names something other than a regular file or a directory (a FIFO, a device,
// through a link too) is written straight; anything else is a durable file.
bool IsStream(const char *path)
{
    struct stat target {};
    return stat(path, &target) == 0 && !S_ISREG(target.st_mode) && !S_ISDIR(target.st_mode);
}

// The file a path given to -o names: a symbolic link is followed, as a shell's redirection or cp
// would (/dev/stdout is one), rather than replaced. The default sample's name never is.
std::string Resolved(const char *path)
{
    struct stat link {};
    if (lstat(path, &link) != 0 || !S_ISLNK(link.st_mode)) {
        return path;
    }
    const std::unique_ptr<char, decltype(&std::free)> target(realpath(path, nullptr), &std::free);
    return target ? target.get() : path;
}

}  // namespace

bool ToStandardOutput(const Options &options)
{
    return options.output != nullptr && std::string_view(options.output) == "-";
}

std::string SampleName(const Options &options, CK_SLOT_ID slot)
{
    if (options.output == nullptr) {
        return "random_" + std::to_string(slot) + ".txt";
    }
    return ToStandardOutput(options) ? "standard output" : options.output;
}

std::string OutputProblem(const Options &options)
{
    if (ToStandardOutput(options)) {
        return isatty(STDOUT_FILENO) == 1 ? "standard output is a terminal; pipe the sample to "
                                            "its reader, or name a file with -o"
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

std::unique_ptr<Sink> OpenSink(const Options &options, const std::string &name, int stdoutFd,
                               uid_t user, std::string &reason)
{
    if (stdoutFd >= 0) {
        return std::make_unique<Stream>(stdoutFd);
    }
    const std::string path = options.output != nullptr ? Resolved(options.output) : name;
    if (options.output != nullptr && IsStream(path.c_str())) {
        const int fd = open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            reason = std::strerror(errno);
            return nullptr;
        }
        return std::make_unique<Stream>(fd);
    }
    auto file = std::make_unique<OutputFile>(path, user);
    if (!file->Open(options.bytes.value_or(0))) {
        reason = file->Reason();
        return nullptr;
    }
    return file;
}

}  // namespace randdump

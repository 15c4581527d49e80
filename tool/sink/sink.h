// Where the sample goes: a durable file, or a stream (standard output, a FIFO, a device).
#ifndef TOOL_SINK_H
#define TOOL_SINK_H

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "options/options.h"

namespace randdump {

class Sink {
public:
    Sink() = default;
    virtual ~Sink() = default;
    Sink(const Sink &) = delete;
    Sink &operator=(const Sink &) = delete;
    Sink(Sink &&) = delete;
    Sink &operator=(Sink &&) = delete;

    // Writes the sample's bytes that start at `offset`; a stream is written in order, so for it
    // the offset is where it already stands. False on failure; Reason() then tells why.
    virtual bool Write(std::span<const std::byte> bytes, std::uint64_t offset) = 0;
    // After the last write: puts a file in place, or closes a stream, checking that it took.
    virtual bool Commit() = 0;
    [[nodiscard]] virtual const std::string &Reason() const = 0;
    // The bytes written so far, the last write's part included when it failed.
    [[nodiscard]] std::uint64_t Written() const { return written_; }
    // A file whose directory could not be flushed after it was put in place.
    [[nodiscard]] virtual bool InPlace() const { return false; }
    // A stream whose reader went away (EPIPE).
    [[nodiscard]] virtual bool ReaderGone() const { return false; }
    // A file put in place by Commit(), rather than a stream written through.
    [[nodiscard]] virtual bool Durable() const { return false; }

    // Writes whose address, size and offset are multiples of this may bypass the page cache.
    static constexpr std::size_t kDirectAlignment = 4096;

protected:
    // For the sinks' writes: `bytes` more were written.
    void Wrote(std::uint64_t bytes) { written_ += bytes; }

private:
    std::uint64_t written_ = 0;
};

// Writes all of `bytes` through `write` (a write or pwrite of what is left), over short writes
// and interruptions; a write that takes nothing means a full device. False, errno set, on failure.
template <typename Write>
bool WriteAll(std::span<const std::byte> bytes, Write write)
{
    while (!bytes.empty()) {
        const ssize_t written = write(bytes);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            errno = written == 0 ? ENOSPC : errno;
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    return true;
}

// The name the messages give the sample: its path, or "standard output".
std::string SampleName(const Options &options, CK_SLOT_ID slot);

// Whether the sample goes to standard output: -o -, or a path that names the open file standard
// output is (/dev/stdout, /dev/fd/1, the file it was redirected to), which then becomes -o -, so
// that it is written through descriptor 1 (appending where that appends) and nothing else lands
// in it. Standard output that was closed at start is nothing's.
bool ToStandardOutput(Options &options, bool stdoutClosed);

// Whether `path` is a FIFO or a character device (a link followed): written as a stream.
bool NamesAStream(const char *path);

// What is wrong with --record that can be seen before anything is loaded: a record that would
// take the place of the sample (`sample`, its path; empty when not known yet) or go where
// standard output does (unless it was closed at start). Empty when nothing is.
std::string RecordClash(const char *record, const std::string &sample, bool stdoutClosed);

// What is wrong with the options' output that can be seen before anything is loaded (standard
// output closed or a terminal, an unlimited sample to a file); empty when nothing is.
std::string OutputProblem(const Options &options, bool stdoutClosed);

// Moves standard output to a descriptor of its own, for the sample, and points descriptor 1 at
// standard error, so that the banner, every message and whatever a module prints cannot mix
// with the sample. Returns the sample's descriptor, or -1 with errno set.
int TakeStandardOutput();

// Opens a path as a shell's redirection would, the kernel following a link with its
// protections, for `size` bytes written as the user `user`: what was opened is what is
// written, a FIFO or character device straight, a regular file as a durable file replaced
// where it is. A block device is refused, and so is a link that leads nowhere. Null, with
// `reason` set, on failure.
std::unique_ptr<Sink> OpenPath(const char *path, std::uint64_t size, uid_t user,
                               std::string &reason);

// Opens the sample's sink: standard output (`stdoutFd`), the -o path (see OpenPath), or the
// default sample's durable file, whose name is never followed.
std::unique_ptr<Sink> OpenSink(const Options &options, const std::string &name, int stdoutFd,
                               uid_t user, std::string &reason);

}  // namespace randdump

#endif

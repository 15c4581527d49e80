// A file that appears under its name only once it was written whole and is on disk.
#ifndef TOOL_OUTPUTFILE_H
#define TOOL_OUTPUTFILE_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "sink/sink.h"

namespace randdump {

// A file as the file system knows it, whatever its names.
struct FileId {
    dev_t device;
    ino_t inode;
};

// The bytes go to an unnamed temporary file beside the target (or, where the file system or the
// system cannot name one later, one under an unpredictable name); Commit() moves it over the
// target. Until then an existing target is untouched, and a file that is never committed
// disappears, on a signal too. The temporary file is the process's alone (mode 0600) until it
// takes its final mode just before it is moved. Everything that can be checked is checked by
// Open(), before the long work. A symbolic link at the target is replaced, never followed. All
// the work is done in the directory as it was opened at the start, even if another takes its
// name meanwhile.
class OutputFile final : public Sink {
public:
    // `user` is the user the file work is done as (see AsRealUser). With `expected`, the target
    // must be that file when it is checked.
    OutputFile(const std::string &target, uid_t user, std::optional<FileId> expected = {});
    ~OutputFile() override;
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;
    OutputFile(OutputFile &&) = delete;
    OutputFile &operator=(OutputFile &&) = delete;

    // Each returns false on failure; Reason() then tells why, as the system said it.
    // Open() checks that the target may be replaced and that `size` bytes fit, then creates the
    // temporary file and claims their space.
    bool Open(std::uint64_t size);
    // Writes `bytes` at `offset`; bypasses the page cache where the file system allows it, for
    // chunks whose address, size and offset are multiples of kDirectAlignment.
    bool Write(std::span<const std::byte> bytes, std::uint64_t offset) override;
    // Flushes the file to disk, moves it over the target and flushes the directory. When only
    // the last step failed, InPlace() is true: the new file is the target, but a crash may
    // still bring the old one back.
    bool Commit() override;

    // Before Commit(): what the file holds is `bytes` alone, flushed to disk.
    bool Rewrite(std::span<const std::byte> bytes);
    // Before Commit(): the file goes to `name` instead, in the same directory.
    void PlaceAs(const std::string &name) { name_ = name; }

    [[nodiscard]] const std::string &Reason() const override { return reason_; }
    [[nodiscard]] bool InPlace() const override { return inPlace_; }
    [[nodiscard]] bool Durable() const override { return true; }

private:
    bool Fail();
    bool CheckTarget(std::uint64_t size);
    bool CreateUnnamed();
    bool CreateNamed();
    bool LinkUnnamed(int fd);
    bool TakeTemporaryName(const std::function<bool(const char *name)> &create);
    bool Reserve(std::uint64_t size);
    [[nodiscard]] bool GiveFinalMode() const;
    void Discard();

    std::string directory_;
    std::string name_;  // the target's, in the directory
    uid_t user_;
    std::optional<FileId> expected_;
    std::string temporaryName_;  // set while a named temporary file exists
    int signalSlot_ = -1;        // its place among the files a signal removes
    int directoryFd_ = -1;
    int fd_ = -1;
    bool direct_ = false;
    bool replacing_ = false;  // a regular file is replaced: its mode and owner carry over
    uid_t owner_ = 0;
    gid_t group_ = 0;
    mode_t mode_ = 0;
    bool inPlace_ = false;
    std::string reason_;
};

}  // namespace randdump

#endif

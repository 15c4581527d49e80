// A file that appears under its name only once it was written whole.
#ifndef TOOL_OUTPUTFILE_H
#define TOOL_OUTPUTFILE_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace randdump {

// The bytes go to an unnamed (or, where the file system cannot do that, a uniquely named)
// temporary file beside the target; Commit() moves it over the target. Until then an existing
// target is untouched, and a file that is never committed disappears.
class OutputFile {
public:
    explicit OutputFile(std::string target);
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;
    OutputFile(OutputFile &&) = delete;
    OutputFile &operator=(OutputFile &&) = delete;

    // Each returns false on failure; Reason() then tells why, as the system said it.
    bool Open();
    // Claims the space for `size` bytes up front, so that a full disk shows before any work.
    bool Reserve(std::uint64_t size);
    // The next `size` bytes of the file (at most the write buffer's size), to be filled in place
    // before the next call; empty when earlier bytes could not be written. Filling the file's
    // buffer directly spares a copy of every byte.
    std::span<std::byte> Next(std::size_t size);
    bool Commit();

    [[nodiscard]] const std::string &Target() const { return target_; }
    [[nodiscard]] const std::string &Reason() const { return reason_; }

private:
    bool Fail();
    bool Flush();
    bool OpenNamed();
    bool LinkTemporaryName();
    void Discard();

    std::string target_;
    std::string directory_;
    std::string namedPath_;  // set while a named temporary file exists
    int fd_ = -1;
    std::vector<std::byte> buffer_;
    std::size_t used_ = 0;
    std::string reason_;
};

}  // namespace randdump

#endif

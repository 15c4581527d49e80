// A sample written straight to a stream: standard output, a FIFO, a character device.
#ifndef TOOL_STREAM_H
#define TOOL_STREAM_H

#include "sink/sink.h"

namespace randdump {

// Writes in order to a descriptor it owns, over short writes and interruptions; a reader that
// goes away (EPIPE) is told apart from other failures. Commit() closes the descriptor and checks
// that the close took.
class Stream final : public Sink {
public:
    explicit Stream(int fd) : fd_(fd) {}
    ~Stream() override;
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;
    Stream(Stream &&) = delete;
    Stream &operator=(Stream &&) = delete;

    bool Write(std::span<const std::byte> bytes, std::uint64_t offset) override;
    bool Commit() override;
    [[nodiscard]] const std::string &Reason() const override { return reason_; }
    [[nodiscard]] bool ReaderGone() const override { return readerGone_; }

private:
    bool Fail();

    int fd_;
    std::string reason_;
    bool readerGone_ = false;
};

}  // namespace randdump

#endif

#include "sink/stream.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace randdump {

Stream::~Stream()
{
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool Stream::Fail()
{
    readerGone_ = errno == EPIPE;
    reason_ = std::strerror(errno);
    return false;
}

bool Stream::Write(std::span<const std::byte> bytes, std::uint64_t /*offset*/)
{
    return WriteAll(bytes,
                    [this](std::span<const std::byte> rest) {
                        const ssize_t done = write(fd_, rest.data(), rest.size());
                        Wrote(done > 0 ? static_cast<std::uint64_t>(done) : 0);
                        return done;
                    }) ||
           Fail();
}

bool Stream::Commit()
{
    const int fd = fd_;
    fd_ = -1;
    return close(fd) == 0 || Fail();
}

}  // namespace randdump

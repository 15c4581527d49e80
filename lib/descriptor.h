// A file descriptor closed when its owner goes: for the library and randdump alike.
#ifndef LIB_DESCRIPTOR_H
#define LIB_DESCRIPTOR_H

#include <unistd.h>

#include <utility>

namespace ckhelper {

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor()
    {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    Descriptor(Descriptor &&) = delete;
    Descriptor &operator=(Descriptor &&) = delete;

    [[nodiscard]] int Get() const { return fd_; }
    // Hands the descriptor over; it is no longer closed here.
    int Release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

}  // namespace ckhelper

#endif

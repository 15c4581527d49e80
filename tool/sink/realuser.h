// File work in a privileged process is done as the user who started it.
#ifndef TOOL_REALUSER_H
#define TOOL_REALUSER_H

#include <sys/types.h>

#include <array>
#include <cstdint>

namespace randdump {

// While it lives, a privileged process (setuid, setgid, file capabilities) checks, creates and
// replaces files as its real user and group, and without its effective capabilities, so that a
// setuid-root or capable copy reads and writes nothing the user could not. Threads started
// meanwhile inherit this. Elsewhere it changes nothing.
class AsRealUser {
public:
    AsRealUser();
    ~AsRealUser();
    AsRealUser(const AsRealUser &) = delete;
    AsRealUser &operator=(const AsRealUser &) = delete;
    AsRealUser(AsRealUser &&) = delete;
    AsRealUser &operator=(AsRealUser &&) = delete;

    // The user whose rights the file work has.
    [[nodiscard]] uid_t User() const { return user_; }

private:
    bool privileged_;
    uid_t user_;
    std::array<std::uint32_t, 2> effective_{};  // the capabilities set aside
};

}  // namespace randdump

#endif

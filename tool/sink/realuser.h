// File work in a privileged process is done as the user who started it.
#ifndef TOOL_REALUSER_H
#define TOOL_REALUSER_H

#include <sys/types.h>

namespace randdump {

// While it lives, a privileged process (setuid, setgid, file capabilities) checks, creates and
// replaces files as its real user and group, so that a setuid-root copy writes nothing the user
// could not write. Threads started meanwhile inherit this. Elsewhere it changes nothing.
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
};

}  // namespace randdump

#endif

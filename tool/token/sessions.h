// The sessions a run draws through, all on one token.
#ifndef TOOL_SESSIONS_H
#define TOOL_SESSIONS_H

#include <p11-kit/pkcs11.h>

#include <span>
#include <string_view>
#include <vector>

namespace randdump {

// Sessions on one slot, read/write where the token allows, each closed when this goes.
class Sessions {
public:
    explicit Sessions(const CK_FUNCTION_LIST &p11) : p11_(p11) {}
    ~Sessions();
    Sessions(const Sessions &) = delete;
    Sessions &operator=(const Sessions &) = delete;
    Sessions(Sessions &&) = delete;
    Sessions &operator=(Sessions &&) = delete;

    // Opens `count` read/write sessions on `slot`; the first failure ends the opening and is
    // returned. With `readOnlyToo`, a write-protected token's sessions are read-only: drawing
    // writes nothing to the token.
    CK_RV Open(CK_SLOT_ID slot, unsigned count, bool readOnlyToo);
    // Logs the user in, for all of the application's sessions on the token; a user already
    // logged in counts as success.
    CK_RV Login(std::string_view pin);
    // Closes every session, for a restart.
    void Close();

    [[nodiscard]] std::span<const CK_SESSION_HANDLE> Handles() const { return handles_; }
    // Whether a login with a PIN succeeded.
    [[nodiscard]] bool LoggedIn() const { return loggedIn_; }

private:
    const CK_FUNCTION_LIST &p11_;
    std::vector<CK_SESSION_HANDLE> handles_;
    bool loggedIn_ = false;
};

}  // namespace randdump

#endif

// A scriptable PKCS#11 provider module for what a real token cannot be made to do: fail any call
// at the k-th time, report odd versions, refuse calls before C_Initialize. It keeps count of
// calls, open sessions, active searches and logins.
//
// Tests in the same process reach its state through the exported fakep11_state(). A child process
// (randdump) is scripted through the environment variable FAKEP11, a list separated by ';':
//   fail=<Call>@<k>:<code>   the k-th call of C_<Call> returns <code> (k = 0: every call)
//   version=<major>.<minor>  the Cryptoki version C_GetInfo reports
//   lenient=1                accept calls before C_Initialize
//   slow=<ms>                C_GenerateRandom sleeps this long on every 256th call
//   log=<path>               at exit, write the calls made and the sessions left open there
#ifndef TESTS_FAKE_FAKEP11_H
#define TESTS_FAKE_FAKEP11_H

#include <p11-kit/pkcs11.h>

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace fakep11 {

enum class Call : std::size_t {
    Initialize,
    Finalize,
    GetInfo,
    GetSlotList,
    GetTokenInfo,
    OpenSession,
    CloseSession,
    Login,
    GenerateRandom,
    FindObjectsInit,
    FindObjects,
    FindObjectsFinal,
    CreateObject,
    GetAttributeValue,
    SetAttributeValue,
    Count,
};

constexpr std::array<const char *, static_cast<std::size_t>(Call::Count)> kCallNames{
    "Initialize",  "Finalize",         "GetInfo",      "GetSlotList",       "GetTokenInfo",
    "OpenSession", "CloseSession",     "Login",        "GenerateRandom",    "FindObjectsInit",
    "FindObjects", "FindObjectsFinal", "CreateObject", "GetAttributeValue", "SetAttributeValue",
};

struct Failure {
    unsigned at = 0;  // 1-based call number that fails; 0 with a code: every call
    CK_RV code = CKR_OK;
};

struct Token {
    CK_SLOT_ID slot = 0;
    std::string label;  // as the caller wants it; reported blank-padded to 32 bytes
    std::string userPin = "1234";
};

struct Object {
    CK_SLOT_ID slot = 0;
    CK_OBJECT_CLASS objectClass = CKO_DATA;
    std::string label;
    std::vector<std::uint8_t> value;
    bool isPrivate = false;
    bool isToken = false;
    bool sensitive = false;  // the value cannot be read
};

struct Session {
    CK_SLOT_ID slot = 0;
    bool searching = false;
    std::vector<CK_OBJECT_HANDLE> found;
};

struct State {
    // What the test scripts.
    std::array<Failure, static_cast<std::size_t>(Call::Count)> failures{};
    CK_VERSION version{2, 40};
    bool lenient = false;
    unsigned slowMilliseconds = 0;
    bool logPins = true;  // false: C_Login logs the PIN's length only
    CK_ULONG claimedSlotCount =
        0;  // when set, the slot count C_GetSlotList reports for a null list
    std::vector<Token> tokens{Token{0, "fake token", "1234"}};
    std::map<CK_OBJECT_HANDLE, Object> objects;

    // What the module saw.
    std::array<unsigned, static_cast<std::size_t>(Call::Count)> calls{};
    std::vector<std::string> log;  // one line per call, with the arguments that matter
    std::vector<Call> sequence;    // the calls in order
    bool initialized = false;
    std::map<CK_SESSION_HANDLE, Session> sessions;
    std::map<CK_SLOT_ID, bool> loggedIn;
    int openSessionsAtFinalize = -1;
    std::uint64_t bytesGenerated = 0;
    CK_SESSION_HANDLE nextSession = 1;
    CK_OBJECT_HANDLE nextObject = 100;

    unsigned Calls(Call call) const { return calls[static_cast<std::size_t>(call)]; }
    void Fail(Call call, unsigned at, CK_RV code)
    {
        failures[static_cast<std::size_t>(call)] = {at, code};
    }
    std::size_t ActiveSearches() const
    {
        std::size_t active = 0;
        for (const auto &[handle, session] : sessions) {
            active += session.searching ? 1 : 0;
        }
        return active;
    }
    // Forgets the calls seen so far (and the failures scripted for them); keeps sessions and
    // objects.
    void ClearCalls()
    {
        calls = {};
        failures = {};
        log.clear();
        sequence.clear();
    }
    // Back to a fresh module with one token "fake token" in slot 0.
    void Reset() { *this = State{}; }
};

// The byte at `index` of the stream C_GenerateRandom returns: deterministic, and rich in the
// bytes a text-mode write would change (0x00, 0x0A, 0x0D).
inline std::uint8_t StreamByte(std::uint64_t index)
{
    std::uint64_t z = (index / 8) + 0x9E3779B97F4A7C15ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    const auto b = static_cast<std::uint8_t>(z >> ((index % 8) * 8));
    switch (b % 16) {
        case 0:
            return 0x00;
        case 1:
            return 0x0A;
        case 2:
            return 0x0D;
        default:
            return b;
    }
}

}  // namespace fakep11

extern "C" fakep11::State *fakep11_state();

#endif

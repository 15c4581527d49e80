#include "p11shim.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <tuple>

namespace {

using p11shim::Call;

p11shim::Control gControl;
CK_FUNCTION_LIST gList{};
CK_FUNCTION_LIST_PTR gReal = nullptr;
std::map<std::string, std::string> gScript;  // P11SHIM's items by key
std::tuple<Call, unsigned, std::string> gRun{Call::Count, 0, ""};
std::tuple<Call, unsigned, std::string> gSay{Call::Count, 0, ""};
unsigned gSlowMs = 0;
unsigned gPauseUs = 0;
bool gNeedLogin = false;             // C_GenerateRandom only for a logged-in user
bool gNoDigest = false;              // for samples too large to be worth it
std::optional<CK_SLOT_ID> gBadSlot;  // a reader holding a card the module does not know
// A token that answers CKR_OK with bytes that are not random, at the k-th call (0: every call).
std::string gBad;
unsigned gBadAt = 0;
std::size_t gBadCount = 0;
std::string gLastBytes;           // what the call before gave
std::vector<std::string> gCycle;  // the buffers a driver hands out in turn
std::string gPeriod;              // the bytes a driver hands out again and again
std::uint64_t gBadBytes = 0;      // given by a misbehaviour that follows the sample's bytes
std::mt19937_64 gFixed(1);        // bytes that look random and are the same in every run
bool gReplay = false;             // every start of the module gives the same bytes again
std::uint64_t gSkip = 0;          // each start goes this many bytes further than the last
std::uint64_t gFresh = 0;         // the first bytes after each start are the token's own
std::uint64_t gStarts = 0;
std::uint64_t gSinceStart = 0;
bool gNoFinalize = false;     // C_Finalize ends nothing
std::uint64_t gReplayed = 0;  // bytes given since the start
std::mutex gMutex;            // over gControl: randdump calls from several threads

// What a call was asked, before it is made.
template <Call C, typename... A>
void Before(A... a)
{
    const auto args = std::tie(a...);
    if constexpr (C == Call::Initialize) {
        const auto *init = static_cast<CK_C_INITIALIZE_ARGS *>(std::get<0>(args));
        gControl.initialize = init == nullptr ? "null" : "flags " + std::to_string(init->flags);
    } else if constexpr (C == Call::Login) {
        gControl.pin.assign(reinterpret_cast<const char *>(std::get<2>(args)), std::get<3>(args));
    } else if constexpr (C == Call::OpenSession) {
        gControl.sessionFlags.insert(std::get<1>(args));
    } else if constexpr (C == Call::FindObjectsInit) {
        gControl.searchedLabel = "(none)";
        for (CK_ULONG i = 0; i < std::get<2>(args); ++i) {
            const CK_ATTRIBUTE &entry = std::get<1>(args)[i];
            if (entry.type == CKA_LABEL)
                gControl.searchedLabel.assign(static_cast<char *>(entry.pValue), entry.ulValueLen);
        }
    }
}

// What a successful call changed, or what the shim changes in its result.
template <Call C, typename... A>
void After(A... a)
{
    const auto args = std::tie(a...);
    p11shim::Control &c = gControl;
    if constexpr (C == Call::GetInfo) {
        std::get<0>(args)->cryptokiVersion = c.version.value_or(std::get<0>(args)->cryptokiVersion);
    } else if constexpr (C == Call::GetSlotList) {
        if (c.slotCount && std::get<1>(args) == nullptr)
            *std::get<2>(args) = *c.slotCount;
    } else if constexpr (C == Call::Login || C == Call::Logout) {
        c.loggedIn = C == Call::Login;
    } else if constexpr (C == Call::OpenSession) {
        c.sessions.insert(*std::get<4>(args));
    } else if constexpr (C == Call::CloseSession) {
        c.sessions.erase(std::get<0>(args));
        c.searches.erase(std::get<0>(args));
    } else if constexpr (C == Call::FindObjectsInit) {
        c.searches.insert(std::get<0>(args));
    } else if constexpr (C == Call::FindObjectsFinal) {
        c.searches.erase(std::get<0>(args));
    } else if constexpr (C == Call::GenerateRandom) {
        const std::string_view bytes(reinterpret_cast<char *>(std::get<1>(args)),
                                     std::get<2>(args));
        if (!gNoDigest) {
            c.digest = c.Digest(bytes, c.digest, c.generated);
            c.blocks += c.Digest(bytes);
        }
        c.generated += bytes.size();
    }
}

// Bytes that look random and come again after each C_Initialize: a generator seeded alike at
// every start.
void Replay(CK_BYTE_PTR bytes, CK_ULONG size)
{
    for (CK_ULONG i = 0; i < size; ++i, ++gReplayed) {
        std::uint64_t x = (gReplayed / 8 + 1) * 0x9E3779B97F4A7C15U;
        x = (x ^ (x >> 31)) * 0xBF58476D1CE4E5B9U;
        bytes[i] = static_cast<CK_BYTE>((x ^ (x >> 29)) >> (8 * (gReplayed % 8)));
    }
}

// C_GenerateRandom as the script has the token answer it.
CK_RV GenerateAsScripted(CK_SESSION_HANDLE hSession, CK_BYTE_PTR bytes, CK_ULONG size, unsigned n)
{
    const bool bad = !gBad.empty() && (gBadAt == 0 || gBadAt == n);
    CK_RV rv = CKR_OK;
    if (bad && gBad == "untouched") {
        rv = CKR_OK;
    } else if (bad && gBad == "first") {
        // The last byte written differs from what was there: the gap starts exactly at K.
        const CK_ULONG written = std::min<CK_ULONG>(gBadCount, size);
        const CK_BYTE before = written > 0 ? bytes[written - 1] : 0;
        rv = gReal->C_GenerateRandom(hSession, bytes, written);
        if (written > 0 && bytes[written - 1] == before)
            bytes[written - 1] ^= 0xFF;
    } else if (bad && gBad == "short") {
        rv = gReal->C_GenerateRandom(hSession, bytes, size - std::min<CK_ULONG>(gBadCount, size));
    } else if (bad && gBad == "cycle") {
        if (gCycle.size() < gBadCount) {
            rv = gReal->C_GenerateRandom(hSession, bytes, size);
            gCycle.emplace_back(reinterpret_cast<const char *>(bytes), size);
        } else {
            const std::string &again = gCycle.at(gBadAt == 0 ? (n - 1) % gBadCount : 0);
            std::memcpy(bytes, again.data(), std::min<std::size_t>(again.size(), size));
        }
    } else if (bad && gBad == "period") {
        for (CK_ULONG i = 0; i < size; ++i, ++gBadBytes) {
            if (gPeriod.size() < gBadCount)
                gPeriod.push_back(static_cast<char>(gFixed()));
            bytes[i] = static_cast<CK_BYTE>(gPeriod.at(gBadBytes % gBadCount));
        }
    } else if (bad && gBad == "counter") {
        for (CK_ULONG i = 0; i < size; ++i, ++gBadBytes)
            bytes[i] = static_cast<CK_BYTE>((gBadBytes / 4) >> (8 * (gBadBytes % 4)));
    } else if (bad && gBad == "bias") {
        for (CK_ULONG i = 0; i < size; ++i, ++gBadBytes)
            bytes[i] = static_cast<CK_BYTE>(gFixed() | (gBadBytes % 8 == 7 ? 0x80 : 0));
    } else if (bad && gBad == "constant") {
        std::memset(bytes, 0x5A, size);
    } else if (bad && gBad == "repeat" && gLastBytes.size() == size) {
        std::memcpy(bytes, gLastBytes.data(), size);
    } else if (gReplay) {
        Replay(bytes, size);
        for (CK_ULONG i = 0; i < size && gSinceStart + i < gFresh; ++i)
            bytes[i] = static_cast<CK_BYTE>(gFixed());
        gSinceStart += size;
    } else {
        rv = gReal->C_GenerateRandom(hSession, bytes, size);
    }
    if (rv == CKR_OK && bad && gBad == "zerolast") {
        std::memset(bytes + size - std::min<CK_ULONG>(gBadCount, size), 0,
                    std::min<CK_ULONG>(gBadCount, size));
    }
    if (rv == CKR_OK) {
        gLastBytes.assign(reinterpret_cast<const char *>(bytes), size);
    }
    return rv;
}

template <typename Function>
struct Hook;

// Every hooked function: count it, run a scripted command, fail it if scripted, forward it.
template <typename... A>
struct Hook<CK_RV (*)(A...)> {
    template <auto Member, Call C>
    static CK_RV Through(A... args)
    {
        std::unique_lock lock(gMutex);
        const unsigned n = ++gControl.calls.at(static_cast<std::size_t>(C));
        gControl.sequence.push_back(C);
        if (std::get<0>(gRun) == C && std::get<1>(gRun) == n)
            std::system(std::get<2>(gRun).c_str());  // NOLINT(cert-env33-c)
        if (std::get<0>(gSay) == C && std::get<1>(gSay) == n)
            std::ignore = write(2, std::get<2>(gSay).data(), std::get<2>(gSay).size());
        const auto [at, code, afterRealCall] = gControl.faults.at(static_cast<std::size_t>(C));
        const bool hit = code != CKR_OK && (at == 0 || at == n);
        if (hit && !afterRealCall)
            return code;
        if (C == Call::GenerateRandom && gNeedLogin && !gControl.loggedIn)
            return CKR_USER_NOT_LOGGED_IN;
        if constexpr (C == Call::GetTokenInfo) {
            if (std::get<0>(std::tie(args...)) == gBadSlot)
                return CKR_TOKEN_NOT_RECOGNIZED;
        }
        Before<C>(args...);
        CK_RV rv = CKR_OK;
        bool scripted = false;
        if constexpr (C == Call::GenerateRandom) {
            scripted = !gBad.empty() || gReplay;
            if (scripted)
                rv = GenerateAsScripted(args..., n);  // under the lock: the script keeps state
        } else if constexpr (C == Call::Finalize) {
            scripted = gNoFinalize;
        }
        if (!scripted) {
            lock.unlock();
            rv = (gReal->*Member)(args...);
            lock.lock();
        }
        if constexpr (C == Call::Initialize) {
            gReplayed = gSkip * gStarts++;
            gSinceStart = 0;
        }
        if (rv == CKR_OK)
            After<C>(args...);
        lock.unlock();
        if (C == Call::GenerateRandom && gPauseUs != 0)
            usleep(gPauseUs);
        if (C == Call::GenerateRandom && gSlowMs != 0 && n % 256 == 0)
            usleep(gSlowMs * 1000);
        return hit ? code : rv;
    }
};

// Puts the hook of `call` into the function list, or a null entry in its place.
void SetEntry(Call call, bool dropped)
{
#define P11SHIM_HOOK(name)                                                                 \
    if (call == Call::name)                                                                \
        gList.C_##name =                                                                   \
            dropped ? nullptr                                                              \
                    : Hook<decltype(gList.C_##name)>::Through<&CK_FUNCTION_LIST::C_##name, \
                                                              Call::name>;
    P11SHIM_CALLS(P11SHIM_HOOK)
}

// "<Call>@<k>:<rest>"
std::tuple<Call, unsigned, std::string> CallAt(const std::string &text)
{
    const std::size_t at = text.find('@');
    std::size_t call = 0;
    while (call < p11shim::kCalls && text.substr(0, at) != p11shim::kNames.at(call))
        ++call;
    return {Call(call), std::stoul(text.substr(at + 1)), text.substr(text.find(':', at) + 1)};
}

// The calls in order, a run of the same call as one line; then what was left open.
void WriteLog()
{
    std::ofstream out(gScript["log"]);
    const std::vector<Call> &seq = gControl.sequence;
    for (std::size_t i = 0, same = 0; i < seq.size(); i = same) {
        for (same = i; same < seq.size() && seq[same] == seq[i];)
            ++same;
        out << "C_" << p11shim::kNames.at(static_cast<std::size_t>(seq[i]));
        out << (same - i > 1 ? " x" + std::to_string(same - i) : "") << "\n";
    }
    out << "open sessions " << gControl.sessions.size() << "\nsession flags";
    for (const CK_FLAGS flags : gControl.sessionFlags)
        out << " " << std::hex << flags << std::dec;
    out << "\ninitialize " << gControl.initialize << "\ngenerated " << gControl.generated
        << "\nblocks " << gControl.blocks << "\ndigest " << gControl.digest << "\n";
}

void Configure()
{
    const char *script = std::getenv("P11SHIM");
    std::istringstream items(script != nullptr ? script : "");
    for (std::string item; std::getline(items, item, ';');)
        gScript[item.substr(0, item.find('='))] = item.substr(item.find('=') + 1);
    for (const std::string key : {"fail", "after"}) {
        if (gScript.count(key) != 0) {
            const auto [call, k, code] = CallAt(gScript[key]);
            gControl.Fail(call, k, std::stoul(code, nullptr, 0), key == "after");
        }
    }
    if (const std::string &version = gScript["version"]; !version.empty())
        gControl.version = CK_VERSION{CK_BYTE(std::stoul(version)),
                                      CK_BYTE(std::stoul(version.substr(version.find('.') + 1)))};
    gRun = gScript.count("run") != 0 ? CallAt(gScript["run"]) : gRun;
    gSay = gScript.count("say") != 0 ? CallAt(gScript["say"]) : gSay;
    gSlowMs = std::stoul("0" + gScript["slow"]);
    gPauseUs = std::stoul("0" + gScript["pause"]);
    gNeedLogin = gScript.count("needlogin") != 0;
    gNoDigest = gScript.count("nodigest") != 0;
    if (gScript.count("badslot") != 0)
        gBadSlot = std::stoul(gScript["badslot"]);
    if (gScript.count("bad") != 0) {  // bad=<how>[:<count>]@<k>
        const std::string &bad = gScript["bad"];
        gBad = bad.substr(0, bad.find_first_of(":@"));
        if (bad.find(':') != std::string::npos)
            gBadCount = std::stoul(bad.substr(bad.find(':') + 1));
        gBadAt = std::stoul(bad.substr(bad.find('@') + 1));
    }
    gReplay = gScript.count("replay") != 0;
    gSkip = std::stoull("0" + gScript["skip"]);
    gFresh = std::stoull("0" + gScript["fresh"]);
    gNoFinalize = gScript.count("nofinalize") != 0;
    if (gScript.count("log") != 0)
        std::atexit(WriteLog);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) p11shim::Control *p11shim_control()
{
    return &gControl;
}

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(
    CK_FUNCTION_LIST_PTR_PTR ppList)
{
    [[maybe_unused]] static const bool configured = (Configure(), true);
    *ppList = nullptr;
    if (const std::string &list = gScript["list"]; !list.empty())
        return list == "null" ? CKR_OK : std::stoul(list, nullptr, 0);
    void *module = dlopen(SOFTHSM2_MODULE, RTLD_NOW | RTLD_LOCAL);
    auto *getList = reinterpret_cast<CK_C_GetFunctionList>(
        module != nullptr ? dlsym(module, "C_GetFunctionList") : nullptr);
    if (getList == nullptr || getList(&gReal) != CKR_OK)
        return CKR_GENERAL_ERROR;
    gList = *gReal;
    for (std::size_t call = 0; call < p11shim::kCalls; ++call)
        SetEntry(Call(call), gScript["drop"] == p11shim::kNames.at(call));
    gControl.setEntry = SetEntry;
    *ppList = &gList;
    return CKR_OK;
}

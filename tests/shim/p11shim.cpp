#include "p11shim.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <tuple>

namespace {

using p11shim::Call;

p11shim::Control gControl;
CK_FUNCTION_LIST gList{};
CK_FUNCTION_LIST_PTR gReal = nullptr;
std::string gLog;
unsigned gSlowMs = 0;
Call gRunAt = Call::Count;
unsigned gRunCall = 0;
std::string gRunCommand;
std::string gDrop;
std::string gListResult;  // what C_GetFunctionList itself does: "", "null" or a code

// Bookkeeping before the real call (what was asked) and after a successful one (what changed).
template <Call C, typename... A>
void Before(A... a)
{
    auto args = std::tie(a...);
    if constexpr (C == Call::Login) {
        gControl.pin.assign(reinterpret_cast<const char *>(std::get<2>(args)), std::get<3>(args));
    } else if constexpr (C == Call::FindObjectsInit) {
        gControl.searched.clear();
        for (CK_ULONG i = 0; i < std::get<2>(args); ++i) {
            const CK_ATTRIBUTE &entry = std::get<1>(args)[i];
            gControl.searched.emplace_back(
                entry.type, std::string(static_cast<const char *>(entry.pValue), entry.ulValueLen));
        }
    }
}

template <Call C, typename... A>
void After(A... a)
{
    auto args = std::tie(a...);
    p11shim::Control &c = gControl;
    if constexpr (C == Call::GetInfo) {
        if (c.version) {
            std::get<0>(args)->cryptokiVersion = *c.version;
        }
    } else if constexpr (C == Call::GetSlotList) {
        if (c.slotCount && std::get<1>(args) == nullptr) {
            *std::get<2>(args) = *c.slotCount;
        }
    } else if constexpr (C == Call::OpenSession) {
        c.sessions.insert(*std::get<4>(args));
    } else if constexpr (C == Call::CloseSession) {
        c.sessions.erase(std::get<0>(args));
        c.searches.erase(std::get<0>(args));
    } else if constexpr (C == Call::Login) {
        ++c.logins;
    } else if constexpr (C == Call::FindObjectsInit) {
        c.searches.insert(std::get<0>(args));
    } else if constexpr (C == Call::FindObjectsFinal) {
        c.searches.erase(std::get<0>(args));
    } else if constexpr (C == Call::GenerateRandom) {
        c.digest = p11shim::Digest(c.digest, std::get<1>(args), std::get<2>(args));
        if (gSlowMs != 0 && c.Calls(C) % 256 == 0) {
            usleep(gSlowMs * 1000);
        }
    } else if constexpr (C == Call::Finalize) {
        c.logins = 0;
    }
}

template <typename Function>
struct Hook;

// Every hooked function: count it, run a scripted command, fail it if scripted, forward it.
template <typename... A>
struct Hook<CK_RV (*)(A...)> {
    template <auto Member, Call C>
    static CK_RV Through(A... args)
    {
        p11shim::Control &c = gControl;
        const unsigned n = ++c.calls.at(static_cast<std::size_t>(C));
        c.sequence.push_back(C);
        if (C == gRunAt && n == gRunCall && std::system(gRunCommand.c_str()) == -1) {
            std::perror("p11shim: run");
        }
        const p11shim::Fault fault = c.faults.at(static_cast<std::size_t>(C));
        const bool hit = fault.code != CKR_OK && (fault.at == 0 || fault.at == n);
        if (hit && !fault.afterRealCall) {
            return fault.code;
        }
        Before<C>(args...);
        const CK_RV rv = (gReal->*Member)(args...);
        if (rv == CKR_OK) {
            After<C>(args...);
        }
        return hit ? fault.code : rv;
    }
};

#define P11SHIM_HOOK(name) \
    gList.C_##name =       \
        gDrop == #name     \
            ? nullptr      \
            : Hook<decltype(gList.C_##name)>::Through<&CK_FUNCTION_LIST::C_##name, Call::name>;

Call CallNamed(const std::string &name)
{
    for (std::size_t i = 0; i < p11shim::kCalls; ++i) {
        if (name == p11shim::kNames.at(i)) {
            return static_cast<Call>(i);
        }
    }
    std::fprintf(stderr, "p11shim: no call %s\n", name.c_str());
    std::abort();
}

// "<Call>@<k>:<rest>"
std::tuple<Call, unsigned, std::string> CallAt(const std::string &text)
{
    const std::size_t at = text.find('@');
    const std::size_t colon = text.find(':', at);
    return {CallNamed(text.substr(0, at)),
            static_cast<unsigned>(std::stoul(text.substr(at + 1, colon - at - 1))),
            text.substr(colon + 1)};
}

void WriteLog()
{
    std::FILE *out = std::fopen(gLog.c_str(), "w");
    if (out == nullptr) {
        std::perror(gLog.c_str());
        return;
    }
    const std::vector<Call> &seq = gControl.sequence;
    for (std::size_t i = 0; i < seq.size();) {
        std::size_t same = i;
        while (same < seq.size() && seq[same] == seq[i]) {
            ++same;
        }
        std::fprintf(out, same - i > 1 ? "C_%s x%zu\n" : "C_%s\n",
                     p11shim::kNames.at(static_cast<std::size_t>(seq[i])), same - i);
        i = same;
    }
    std::fprintf(out, "open sessions %zu\ndigest %016llx\n", gControl.sessions.size(),
                 static_cast<unsigned long long>(gControl.digest));
    std::fclose(out);
}

void Configure()
{
    const char *script = std::getenv("P11SHIM");
    std::istringstream items(script != nullptr ? script : "");
    std::string item;
    while (std::getline(items, item, ';')) {
        const std::string key = item.substr(0, item.find('='));
        const std::string value = item.substr(item.find('=') + 1);
        if (key == "fail" || key == "after") {
            const auto [call, k, code] = CallAt(value);
            gControl.Fail(call, k, std::stoul(code, nullptr, 0), key == "after");
        } else if (key == "version") {
            gControl.version = CK_VERSION{static_cast<CK_BYTE>(std::stoul(value)),
                                          static_cast<CK_BYTE>(std::stoul(value.substr(2)))};
        } else if (key == "slow") {
            gSlowMs = std::stoul(value);
        } else if (key == "run") {
            std::tie(gRunAt, gRunCall, gRunCommand) = CallAt(value);
        } else if (key == "drop") {
            gDrop = value;
        } else if (key == "list") {
            gListResult = value;
        } else if (key == "log") {
            gLog = value;
            std::atexit(WriteLog);
        }
    }
}

}  // namespace

extern "C" __attribute__((visibility("default"))) p11shim::Control *p11shim_control()
{
    return &gControl;
}

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(
    CK_FUNCTION_LIST_PTR_PTR ppList)
{
    static const bool configured = (Configure(), true);
    (void)configured;
    if (gListResult == "null") {
        *ppList = nullptr;
        return CKR_OK;
    }
    if (!gListResult.empty()) {
        return std::stoul(gListResult, nullptr, 0);
    }
    void *module = dlopen(SOFTHSM2_MODULE, RTLD_NOW | RTLD_LOCAL);
    auto *getList = reinterpret_cast<CK_C_GetFunctionList>(
        module != nullptr ? dlsym(module, "C_GetFunctionList") : nullptr);
    if (getList == nullptr || getList(&gReal) != CKR_OK) {
        return CKR_GENERAL_ERROR;
    }
    gList = *gReal;
    P11SHIM_CALLS(P11SHIM_HOOK)
    *ppList = &gList;
    return CKR_OK;
}

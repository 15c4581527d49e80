#include "fakep11.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string_view>
#include <thread>

#define FAKEP11_EXPORT __attribute__((visibility("default")))

namespace fakep11 {
namespace {

// Writes the log named by FAKEP11 when the process ends.
struct Module {
    State state;
    std::string logPath;

    Module();
    ~Module();
    Module(const Module &) = delete;
    Module &operator=(const Module &) = delete;
    Module(Module &&) = delete;
    Module &operator=(Module &&) = delete;
};

Module &TheModule()
{
    static Module module;
    return module;
}

State &S()
{
    return TheModule().state;
}

std::optional<Call> CallNamed(std::string_view name)
{
    for (std::size_t i = 0; i < kCallNames.size(); ++i) {
        if (name == kCallNames[i]) {
            return static_cast<Call>(i);
        }
    }
    return std::nullopt;
}

Module::Module()
{
    const char *script = std::getenv("FAKEP11");
    std::stringstream items(script != nullptr ? script : "");
    std::string item;
    while (std::getline(items, item, ';')) {
        const std::size_t eq = item.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        const std::string key = item.substr(0, eq);
        const std::string value = item.substr(eq + 1);
        if (key == "log") {
            logPath = value;
        } else if (key == "lenient") {
            state.lenient = value == "1";
        } else if (key == "slow") {
            state.slowMilliseconds = static_cast<unsigned>(std::stoul(value));
        } else if (key == "version") {
            unsigned major = 0;
            unsigned minor = 0;
            if (std::sscanf(value.c_str(), "%u.%u", &major, &minor) == 2) {
                state.version = {static_cast<CK_BYTE>(major), static_cast<CK_BYTE>(minor)};
            }
        } else if (key == "fail") {
            const std::size_t at = value.find('@');
            const std::size_t colon = value.find(':');
            const auto call = CallNamed(value.substr(0, at));
            if (call && at != std::string::npos && colon != std::string::npos) {
                state.Fail(*call, static_cast<unsigned>(std::stoul(value.substr(at + 1))),
                           std::stoul(value.substr(colon + 1), nullptr, 0));
            }
        }
    }
}

Module::~Module()
{
    if (logPath.empty()) {
        return;
    }
    std::ofstream out(logPath);
    // Runs of the same call are folded into one line with a count.
    for (std::size_t i = 0; i < state.log.size();) {
        std::size_t j = i;
        while (j < state.log.size() && state.log[j] == state.log[i]) {
            ++j;
        }
        out << state.log[i];
        if (j - i > 1) {
            out << " x" << (j - i);
        }
        out << '\n';
        i = j;
    }
    out << "open sessions at exit " << state.sessions.size() << '\n';
    out << "open sessions at C_Finalize " << state.openSessionsAtFinalize << '\n';
}

// Counts the call, logs it and says whether the script makes it fail (and with what).
CK_RV Enter(Call call, std::string line)
{
    State &s = S();
    const unsigned n = ++s.calls[static_cast<std::size_t>(call)];
    s.log.push_back(std::move(line));
    s.sequence.push_back(call);
    const Failure &failure = s.failures[static_cast<std::size_t>(call)];
    if (failure.code != CKR_OK && (failure.at == 0 || failure.at == n)) {
        return failure.code;
    }
    if (call != Call::Initialize && !s.initialized && !s.lenient) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    return CKR_OK;
}

std::string Quoted(const void *bytes, CK_ULONG length)
{
    if (bytes == nullptr) {
        return "null";
    }
    return "'" + std::string(static_cast<const char *>(bytes), length) + "'";
}

const Token *TokenIn(CK_SLOT_ID slot)
{
    for (const Token &token : S().tokens) {
        if (token.slot == slot) {
            return &token;
        }
    }
    return nullptr;
}

Session *SessionOf(CK_SESSION_HANDLE hSession)
{
    auto it = S().sessions.find(hSession);
    return it == S().sessions.end() ? nullptr : &it->second;
}

void PadLabel(CK_UTF8CHAR (&field)[32], std::string_view text)
{
    std::memset(field, ' ', sizeof field);
    std::memcpy(field, text.data(), std::min(text.size(), sizeof field));
}

CK_RV Initialize(CK_VOID_PTR)
{
    State &s = S();
    const CK_RV rv = Enter(Call::Initialize, "C_Initialize");
    if (rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        s.initialized = true;  // the module is usable all the same
    }
    if (rv != CKR_OK) {
        return rv;
    }
    if (s.initialized) {
        return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    }
    s.initialized = true;
    return CKR_OK;
}

CK_RV Finalize(CK_VOID_PTR)
{
    State &s = S();
    const CK_RV rv = Enter(Call::Finalize, "C_Finalize");
    s.openSessionsAtFinalize = static_cast<int>(s.sessions.size());
    if (rv != CKR_OK) {
        return rv;
    }
    s.sessions.clear();
    s.loggedIn.clear();
    s.initialized = false;
    return CKR_OK;
}

CK_RV GetInfo(CK_INFO_PTR pInfo)
{
    const CK_RV rv = Enter(Call::GetInfo, "C_GetInfo");
    if (rv != CKR_OK) {
        return rv;
    }
    *pInfo = CK_INFO{};
    pInfo->cryptokiVersion = S().version;
    PadLabel(pInfo->manufacturerID, "fakep11");
    PadLabel(pInfo->libraryDescription, "scriptable test provider");
    return CKR_OK;
}

CK_RV GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount)
{
    const CK_RV rv = Enter(Call::GetSlotList, std::string("C_GetSlotList(") +
                                                  (pSlotList == nullptr ? "null" : "list") + ")");
    if (rv != CKR_OK) {
        return rv;
    }
    if (tokenPresent == CK_FALSE) {
        return CKR_ARGUMENTS_BAD;  // the library only ever asks for slots with a token
    }
    const std::vector<Token> &tokens = S().tokens;
    if (pSlotList == nullptr && S().claimedSlotCount != 0) {
        *pulCount = S().claimedSlotCount;
        return CKR_OK;
    }
    if (pSlotList != nullptr) {
        if (*pulCount < tokens.size()) {
            *pulCount = tokens.size();
            return CKR_BUFFER_TOO_SMALL;
        }
        for (std::size_t i = 0; i < tokens.size(); ++i) {
            pSlotList[i] = tokens[i].slot;
        }
    }
    *pulCount = tokens.size();
    return CKR_OK;
}

CK_RV GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo)
{
    const CK_RV rv = Enter(Call::GetTokenInfo, "C_GetTokenInfo(" + std::to_string(slotID) + ")");
    if (rv != CKR_OK) {
        return rv;
    }
    const Token *token = TokenIn(slotID);
    if (token == nullptr) {
        return CKR_SLOT_ID_INVALID;
    }
    *pInfo = CK_TOKEN_INFO{};
    PadLabel(pInfo->label, token->label);
    return CKR_OK;
}

CK_RV OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY,
                  CK_SESSION_HANDLE_PTR phSession)
{
    const CK_RV rv = Enter(Call::OpenSession, "C_OpenSession(" + std::to_string(slotID) +
                                                  ", flags " + std::to_string(flags) + ")");
    if (rv != CKR_OK) {
        return rv;
    }
    if (TokenIn(slotID) == nullptr) {
        return CKR_SLOT_ID_INVALID;
    }
    if ((flags & CKF_SERIAL_SESSION) == 0) {
        return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
    }
    State &s = S();
    *phSession = s.nextSession++;
    s.sessions[*phSession] = Session{slotID, false, {}};
    return CKR_OK;
}

CK_RV CloseSession(CK_SESSION_HANDLE hSession)
{
    const CK_RV rv = Enter(Call::CloseSession, "C_CloseSession");
    if (rv != CKR_OK) {
        return rv;
    }
    return S().sessions.erase(hSession) == 1 ? CKR_OK : CKR_SESSION_HANDLE_INVALID;
}

CK_RV Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin,
            CK_ULONG ulPinLen)
{
    const std::string pin = S().logPins ? Quoted(pPin, ulPinLen) : "<pin>";
    const CK_RV rv = Enter(Call::Login, "C_Login(" + std::to_string(userType) + ", " + pin + ", " +
                                            std::to_string(ulPinLen) + ")");
    if (rv != CKR_OK) {
        return rv;
    }
    const Session *session = SessionOf(hSession);
    if (session == nullptr) {
        return CKR_SESSION_HANDLE_INVALID;
    }
    bool &loggedIn = S().loggedIn[session->slot];
    if (loggedIn) {
        return CKR_USER_ALREADY_LOGGED_IN;
    }
    const Token *token = TokenIn(session->slot);
    if (token->userPin != std::string_view(reinterpret_cast<const char *>(pPin), ulPinLen)) {
        return CKR_PIN_INCORRECT;
    }
    loggedIn = true;
    return CKR_OK;
}

CK_RV GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pRandomData, CK_ULONG ulRandomLen)
{
    const CK_RV rv =
        Enter(Call::GenerateRandom, "C_GenerateRandom(" + std::to_string(ulRandomLen) + ")");
    if (rv != CKR_OK) {
        return rv;
    }
    if (SessionOf(hSession) == nullptr) {
        return CKR_SESSION_HANDLE_INVALID;
    }
    State &s = S();
    if (s.slowMilliseconds != 0 && s.Calls(Call::GenerateRandom) % 256 == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(s.slowMilliseconds));
    }
    for (CK_ULONG i = 0; i < ulRandomLen; ++i) {
        pRandomData[i] = StreamByte(s.bytesGenerated++);
    }
    return CKR_OK;
}

bool Matches(const Object &object, CK_SLOT_ID slot, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount)
{
    if (object.slot != slot || (object.isPrivate && !S().loggedIn[slot])) {
        return false;
    }
    for (CK_ULONG i = 0; i < ulCount; ++i) {
        const CK_ATTRIBUTE &a = pTemplate[i];
        if (a.type == CKA_CLASS) {
            if (a.ulValueLen != sizeof(CK_OBJECT_CLASS) ||
                *static_cast<const CK_OBJECT_CLASS *>(a.pValue) != object.objectClass) {
                return false;
            }
        } else if (a.type == CKA_LABEL) {
            if (std::string_view(static_cast<const char *>(a.pValue), a.ulValueLen) !=
                object.label) {
                return false;
            }
        } else {
            return false;
        }
    }
    return true;
}

std::string Describe(CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount)
{
    std::string text;
    for (CK_ULONG i = 0; i < ulCount; ++i) {
        const CK_ATTRIBUTE &a = pTemplate[i];
        text += i == 0 ? "" : ", ";
        if (a.type == CKA_CLASS && a.pValue != nullptr && a.ulValueLen == sizeof(CK_OBJECT_CLASS)) {
            text += "class " + std::to_string(*static_cast<const CK_OBJECT_CLASS *>(a.pValue));
        } else if (a.type == CKA_LABEL) {
            text += "label " + Quoted(a.pValue, a.ulValueLen);
        } else if ((a.type == CKA_TOKEN || a.type == CKA_PRIVATE) && a.pValue != nullptr &&
                   a.ulValueLen == 1) {
            text += std::string(a.type == CKA_TOKEN ? "token " : "private ") +
                    (*static_cast<const CK_BBOOL *>(a.pValue) != CK_FALSE ? "true" : "false");
        } else {
            text += "type " + std::to_string(a.type) + " length " + std::to_string(a.ulValueLen);
        }
    }
    return text;
}

CK_RV FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount)
{
    const CK_RV rv =
        Enter(Call::FindObjectsInit, "C_FindObjectsInit(" + Describe(pTemplate, ulCount) + ")");
    if (rv != CKR_OK) {
        return rv;
    }
    Session *session = SessionOf(hSession);
    if (session == nullptr) {
        return CKR_SESSION_HANDLE_INVALID;
    }
    if (session->searching) {
        return CKR_OPERATION_ACTIVE;
    }
    session->searching = true;
    session->found.clear();
    for (const auto &[handle, object] : S().objects) {
        if (Matches(object, session->slot, pTemplate, ulCount)) {
            session->found.push_back(handle);
        }
    }
    return CKR_OK;
}

CK_RV FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject,
                  CK_ULONG ulMaxObjectCount, CK_ULONG_PTR pulObjectCount)
{
    const CK_RV rv =
        Enter(Call::FindObjects, "C_FindObjects(" + std::to_string(ulMaxObjectCount) + ")");
    if (rv != CKR_OK) {
        return rv;
    }
    Session *session = SessionOf(hSession);
    if (session == nullptr) {
        return CKR_SESSION_HANDLE_INVALID;
    }
    if (!session->searching) {
        return CKR_OPERATION_NOT_INITIALIZED;
    }
    const CK_ULONG n = std::min<CK_ULONG>(ulMaxObjectCount, session->found.size());
    std::copy_n(session->found.begin(), n, phObject);
    session->found.erase(session->found.begin(), session->found.begin() + static_cast<long>(n));
    *pulObjectCount = n;
    return CKR_OK;
}

CK_RV FindObjectsFinal(CK_SESSION_HANDLE hSession)
{
    const CK_RV rv = Enter(Call::FindObjectsFinal, "C_FindObjectsFinal");
    if (rv != CKR_OK) {
        return rv;
    }
    Session *session = SessionOf(hSession);
    if (session == nullptr) {
        return CKR_SESSION_HANDLE_INVALID;
    }
    if (!session->searching) {
        return CKR_OPERATION_NOT_INITIALIZED;
    }
    session->searching = false;
    return CKR_OK;
}

CK_RV CreateObject(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                   CK_OBJECT_HANDLE_PTR phObject)
{
    const CK_RV rv =
        Enter(Call::CreateObject, "C_CreateObject(" + Describe(pTemplate, ulCount) + ")");
    if (rv != CKR_OK) {
        return rv;
    }
    const Session *session = SessionOf(hSession);
    if (session == nullptr) {
        return CKR_SESSION_HANDLE_INVALID;
    }
    Object object;
    object.slot = session->slot;
    for (CK_ULONG i = 0; i < ulCount; ++i) {
        const CK_ATTRIBUTE &a = pTemplate[i];
        const auto *bytes = static_cast<const std::uint8_t *>(a.pValue);
        if (a.type == CKA_CLASS && a.ulValueLen == sizeof(CK_OBJECT_CLASS)) {
            object.objectClass = *static_cast<const CK_OBJECT_CLASS *>(a.pValue);
        } else if (a.type == CKA_LABEL) {
            object.label.assign(reinterpret_cast<const char *>(bytes), a.ulValueLen);
        } else if (a.type == CKA_TOKEN && a.ulValueLen == 1) {
            object.isToken = *bytes != CK_FALSE;
        } else if (a.type == CKA_PRIVATE && a.ulValueLen == 1) {
            object.isPrivate = *bytes != CK_FALSE;
        } else if (a.type == CKA_VALUE) {
            object.value.assign(bytes, bytes + a.ulValueLen);
        } else {
            return CKR_ATTRIBUTE_TYPE_INVALID;
        }
    }
    if (object.isPrivate && !S().loggedIn[session->slot]) {
        return CKR_USER_NOT_LOGGED_IN;
    }
    *phObject = S().nextObject++;
    S().objects[*phObject] = object;
    return CKR_OK;
}

Object *ObjectOf(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject)
{
    const Session *session = SessionOf(hSession);
    auto it = S().objects.find(hObject);
    if (session == nullptr || it == S().objects.end() || it->second.slot != session->slot) {
        return nullptr;
    }
    return &it->second;
}

CK_RV GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                        CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount)
{
    const CK_RV rv =
        Enter(Call::GetAttributeValue, "C_GetAttributeValue(" + Describe(pTemplate, ulCount) + ")");
    if (rv != CKR_OK) {
        return rv;
    }
    Object *object = ObjectOf(hSession, hObject);
    if (object == nullptr) {
        return CKR_OBJECT_HANDLE_INVALID;
    }
    CK_RV result = CKR_OK;
    for (CK_ULONG i = 0; i < ulCount; ++i) {
        CK_ATTRIBUTE &a = pTemplate[i];
        std::vector<std::uint8_t> value;
        if (a.type == CKA_LABEL) {
            value.assign(object->label.begin(), object->label.end());
        } else if (a.type == CKA_VALUE && !object->sensitive) {
            value = object->value;
        } else if (a.type == CKA_VALUE) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            result = CKR_ATTRIBUTE_SENSITIVE;
            continue;
        } else {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            result = CKR_ATTRIBUTE_TYPE_INVALID;
            continue;
        }
        if (a.pValue != nullptr) {
            if (a.ulValueLen < value.size()) {
                a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
                result = CKR_BUFFER_TOO_SMALL;
                continue;
            }
            std::copy(value.begin(), value.end(), static_cast<std::uint8_t *>(a.pValue));
        }
        a.ulValueLen = value.size();
    }
    return result;
}

CK_RV SetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                        CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount)
{
    const CK_RV rv =
        Enter(Call::SetAttributeValue, "C_SetAttributeValue(" + Describe(pTemplate, ulCount) + ")");
    if (rv != CKR_OK) {
        return rv;
    }
    Object *object = ObjectOf(hSession, hObject);
    if (object == nullptr) {
        return CKR_OBJECT_HANDLE_INVALID;
    }
    for (CK_ULONG i = 0; i < ulCount; ++i) {
        const CK_ATTRIBUTE &a = pTemplate[i];
        const auto *bytes = static_cast<const std::uint8_t *>(a.pValue);
        if (a.type == CKA_LABEL) {
            object->label.assign(reinterpret_cast<const char *>(bytes), a.ulValueLen);
        } else if (a.type == CKA_VALUE) {
            object->value.assign(bytes, bytes + a.ulValueLen);
        } else {
            return CKR_ATTRIBUTE_READ_ONLY;
        }
    }
    return CKR_OK;
}

CK_FUNCTION_LIST MakeFunctionList()
{
    CK_FUNCTION_LIST list{};
    list.version = {2, 40};
    list.C_Initialize = Initialize;
    list.C_Finalize = Finalize;
    list.C_GetInfo = GetInfo;
    list.C_GetSlotList = GetSlotList;
    list.C_GetTokenInfo = GetTokenInfo;
    list.C_OpenSession = OpenSession;
    list.C_CloseSession = CloseSession;
    list.C_Login = Login;
    list.C_GenerateRandom = GenerateRandom;
    list.C_FindObjectsInit = FindObjectsInit;
    list.C_FindObjects = FindObjects;
    list.C_FindObjectsFinal = FindObjectsFinal;
    list.C_CreateObject = CreateObject;
    list.C_GetAttributeValue = GetAttributeValue;
    list.C_SetAttributeValue = SetAttributeValue;
    return list;
}

}  // namespace
}  // namespace fakep11

extern "C" FAKEP11_EXPORT fakep11::State *fakep11_state()
{
    return &fakep11::S();
}

extern "C" FAKEP11_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList)
{
    static CK_FUNCTION_LIST list = fakep11::MakeFunctionList();
    fakep11::TheModule();  // reads the script
    *ppFunctionList = &list;
    return CKR_OK;
}

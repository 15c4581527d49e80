// What the lookups share: a session closed unless handed out, a search ended on every path, a
// buffer wiped before its memory is released, and the opening of an object in a user's session.
#ifndef LIB_SESSION_H
#define LIB_SESSION_H

#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "ckhelper.h"
#include "entry.h"

namespace ckhelper {

using provider::Entry;

// A session the library opened, closed again unless handed to the caller.
class OpenedSession {
public:
    OpenedSession(const CK_FUNCTION_LIST &p11, CK_SESSION_HANDLE hSession)
        : p11_(p11), hSession_(hSession)
    {
    }
    ~OpenedSession()
    {
        if (owned_) {
            Entry(p11_.C_CloseSession)(hSession_);
        }
    }
    OpenedSession(const OpenedSession &) = delete;
    OpenedSession &operator=(const OpenedSession &) = delete;
    OpenedSession(OpenedSession &&) = delete;
    OpenedSession &operator=(OpenedSession &&) = delete;

    CK_SESSION_HANDLE Release()
    {
        owned_ = false;
        return hSession_;
    }

private:
    const CK_FUNCTION_LIST &p11_;
    CK_SESSION_HANDLE hSession_;
    bool owned_ = true;
};

// A search in a session, ended on every path: a search left active makes the session refuse the
// next one.
class ObjectSearch {
public:
    ObjectSearch(const CK_FUNCTION_LIST &p11, CK_SESSION_HANDLE hSession)
        : p11_(p11), hSession_(hSession)
    {
    }
    ~ObjectSearch() { End(); }
    ObjectSearch(const ObjectSearch &) = delete;
    ObjectSearch &operator=(const ObjectSearch &) = delete;
    ObjectSearch(ObjectSearch &&) = delete;
    ObjectSearch &operator=(ObjectSearch &&) = delete;

    CK_RV Begin(std::span<CK_ATTRIBUTE> match)
    {
        const CK_RV rv = Entry(p11_.C_FindObjectsInit)(hSession_, match.data(), match.size());
        active_ = rv == CKR_OK;
        return rv;
    }
    CK_RV End()
    {
        if (!active_) {
            return CKR_OK;
        }
        active_ = false;
        return Entry(p11_.C_FindObjectsFinal)(hSession_);
    }

private:
    const CK_FUNCTION_LIST &p11_;
    CK_SESSION_HANDLE hSession_;
    bool active_ = false;
};

// A writable, terminated copy of a text that may hold a PIN; wiped before its memory is released.
class WipedText {
public:
    explicit WipedText(std::string_view text);
    explicit WipedText(std::size_t size);  // zero-filled
    ~WipedText();
    WipedText(const WipedText &) = delete;
    WipedText &operator=(const WipedText &) = delete;
    WipedText(WipedText &&) = delete;
    WipedText &operator=(WipedText &&) = delete;

    char *Data() { return bytes_.data(); }

private:
    std::vector<char> bytes_;
};

// The slots, or only those with a token present, in the provider's order. A count no memory
// could hold gives CKR_HOST_MEMORY.
CK_RV SlotList(const CK_FUNCTION_LIST &p11, CK_BBOOL tokenPresent, std::vector<CK_SLOT_ID> &slots);

// The first slot, in the provider's order, whose token `matches`; CKR_GENERAL_ERROR when none.
// `*pSlot` is written only on success.
CK_RV FindTokenSlot(const CK_FUNCTION_LIST &p11,
                    const std::function<bool(CK_SLOT_ID, const CK_TOKEN_INFO &)> &matches,
                    CK_SLOT_ID *pSlot);

// The first object matching `match` (CKR_GENERAL_ERROR when none); the search is always ended.
CK_RV FindFirstObject(const CK_FUNCTION_LIST &p11, CK_SESSION_HANDLE hSession,
                      std::span<CK_ATTRIBUTE> match, CK_OBJECT_HANDLE *phObject);

// Opens a read/write session on `slot`, logs the user in with `pin` when there is one (a user
// already logged in counts), finds the object with `find`, and stores what the caller asked for.
// On failure, or without `phSession`, no session stays open, and a login made here is undone.
CK_RV OpenObjectInSlot(const CK_FUNCTION_LIST &p11, CK_SLOT_ID slot,
                       std::optional<std::string_view> pin,
                       const std::function<CK_RV(CK_SESSION_HANDLE, CK_OBJECT_HANDLE *)> &find,
                       CK_SLOT_ID *pSlot, CK_SESSION_HANDLE *phSession, CK_OBJECT_HANDLE *phObject);

}  // namespace ckhelper

#endif

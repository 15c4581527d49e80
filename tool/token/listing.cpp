#include "token/listing.h"

#include <algorithm>
#include <array>
#include <vector>

#include "ckhelper.h"
#include "evidence/record.h"
#include "report.h"
#include "session.h"
#include "token/modulefile.h"
#include "token/resultidentifier.h"

namespace randdump {
namespace {

const char *YesNo(CK_FLAGS flags, CK_FLAGS flag)
{
    return (flags & flag) != 0 ? "yes" : "no";
}

// The token's URI from the library; empty when it cannot be had.
std::string TokenUri(CK_SLOT_ID slot)
{
    CK_ULONG size = 0;
    if (GetTokenUri(slot, nullptr, &size) != CKR_OK) {
        return {};
    }
    std::string uri(size, '\0');
    if (GetTokenUri(slot, uri.data(), &size) != CKR_OK) {
        return {};
    }
    uri.resize(size - 1);
    return uri;
}

// "CALL error CODE, TEXT", in the listing, for a slot that cannot be read.
void ListFailure(std::FILE *out, const char *indent, const char *call, CK_RV rv)
{
    std::fprintf(out, "%s%s error %s\n", indent, call, Result(rv).c_str());
}

void ListToken(const CK_FUNCTION_LIST &p11, CK_SLOT_ID slot, std::FILE *out)
{
    CK_TOKEN_INFO token{};
    const CK_RV rv = p11.C_GetTokenInfo(slot, &token);
    if (rv != CKR_OK) {
        ListFailure(out, "  token: ", "C_GetTokenInfo", rv);
        return;
    }
    std::fprintf(out,
                 "  token: %s\n  manufacturer: %s\n  model: %s\n  serial: %s\n"
                 "  random number generator: %s\n  login required: %s\n  initialized: %s\n"
                 "  uri: %s\n",
                 Printable(token.label).c_str(), Printable(token.manufacturerID).c_str(),
                 Printable(token.model).c_str(), Printable(token.serialNumber).c_str(),
                 YesNo(token.flags, CKF_RNG), YesNo(token.flags, CKF_LOGIN_REQUIRED),
                 YesNo(token.flags, CKF_TOKEN_INITIALIZED), TokenUri(slot).c_str());
}

// The length of the well-formed UTF-8 sequence `text` starts with (RFC 3629); 0 when it starts
// with none.
std::size_t Utf8Length(std::span<const CK_UTF8CHAR> text)
{
    const unsigned lead = text[0];
    std::size_t length = 0;
    unsigned low = 0x80;  // the second byte's bounds, narrower after some leads
    unsigned high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : low;
        high = lead == 0xED ? 0x9F : high;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : low;
        high = lead == 0xF4 ? 0x8F : high;
    }
    if (length == 0 || text.size() < length || text[1] < low || text[1] > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (text[i] < 0x80 || text[i] > 0xBF) {
            return 0;
        }
    }
    return length;
}

}  // namespace

std::string Printable(std::span<const CK_UTF8CHAR> field)
{
    std::size_t end = field.size();
    while (end > 0 && field[end - 1] == ' ') {
        --end;
    }
    const auto escape = [](std::string &text, CK_UTF8CHAR byte) {
        std::array<char, 5> escaped{};
        std::snprintf(escaped.data(), escaped.size(), "\\x%02X", byte);
        text += escaped.data();
    };
    std::string text;
    field = field.first(end);
    for (std::size_t at = 0; at < field.size();) {
        const CK_UTF8CHAR byte = field[at];
        const std::size_t length = byte < 0x80 ? 1 : Utf8Length(field.subspan(at));
        // C0 and C1 controls, in one byte or as UTF-8 (U+0080 to U+009F), and bytes that are no
        // UTF-8 at all, which a terminal in another encoding might take for controls.
        const bool control =
            byte < 0x20 || byte == 0x7F || (length == 2 && byte == 0xC2 && field[at + 1] < 0xA0);
        if (length == 0 || control) {
            for (const CK_UTF8CHAR each : field.subspan(at, std::max<std::size_t>(length, 1))) {
                escape(text, each);
            }
        } else {
            text.append(reinterpret_cast<const char *>(&field[at]), length);
        }
        at += std::max<std::size_t>(length, 1);
    }
    return text;
}

CK_RV ListSlotsJson(const CK_FUNCTION_LIST &p11, std::FILE *out, Report &report)
{
    using Json = nlohmann::ordered_json;
    std::vector<CK_SLOT_ID> slots;
    const CK_RV rv = ckhelper::SlotList(p11, CK_FALSE, slots);
    if (rv != CKR_OK) {
        report.Failure("C_GetSlotList", rv);
        return rv;
    }
    CK_INFO info{};
    Json listing;
    listing["module"] = ModuleObject(
        ProviderModulePath(), DescribeModuleFile(reinterpret_cast<const void *>(p11.C_Initialize)),
        p11.C_GetInfo(&info) == CKR_OK ? &info : nullptr);
    listing["slots"] = Json::array();
    for (const CK_SLOT_ID slot : slots) {
        CK_SLOT_INFO slotInfo{};
        const bool known = p11.C_GetSlotInfo(slot, &slotInfo) == CKR_OK;
        Json entry = SlotObject(slot, known ? &slotInfo : nullptr);
        entry["token"] = nullptr;
        entry["error"] = nullptr;
        if (known && (slotInfo.flags & CKF_TOKEN_PRESENT) != 0) {
            CK_TOKEN_INFO token{};
            if (const CK_RV failed = p11.C_GetTokenInfo(slot, &token); failed != CKR_OK) {
                entry["error"] = ResultIdentifier(failed);
            } else {
                entry["token"] = TokenObject(&token, TokenUri(slot));
            }
        }
        listing["slots"].push_back(entry);
    }
    const std::string text = listing.dump(2, ' ', true, Json::error_handler_t::replace);
    std::fprintf(out, "%s\n", text.c_str());
    return CKR_OK;
}

std::string SlotName(CK_SLOT_ID slot)
{
    std::array<char, 48> name{};
    std::snprintf(name.data(), name.size(), "%lu (0x%lx)", slot, slot);
    return name.data();
}

CK_RV ListSlots(const CK_FUNCTION_LIST &p11, std::FILE *out, Report &report)
{
    std::vector<CK_SLOT_ID> slots;
    CK_RV rv = ckhelper::SlotList(p11, CK_FALSE, slots);
    if (rv != CKR_OK) {
        report.Failure("C_GetSlotList", rv);
        return rv;
    }
    if (slots.empty()) {
        std::fputs("No slots\n", out);
    }
    // A slot that cannot be read (a reader holding a foreign card) is shown as such, and the
    // others still are.
    for (const CK_SLOT_ID slot : slots) {
        CK_SLOT_INFO info{};
        rv = p11.C_GetSlotInfo(slot, &info);
        std::fprintf(out, "Slot %s: ", SlotName(slot).c_str());
        if (rv != CKR_OK) {
            ListFailure(out, "", "C_GetSlotInfo", rv);
            continue;
        }
        std::fprintf(out, "%s\n", Printable(info.slotDescription).c_str());
        if ((info.flags & CKF_TOKEN_PRESENT) == 0) {
            std::fputs("  no token\n", out);
        } else {
            ListToken(p11, slot, out);
        }
    }
    return CKR_OK;
}

}  // namespace randdump

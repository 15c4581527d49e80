#include "token/listing.h"

#include <array>
#include <vector>

#include "ckhelper.h"
#include "report.h"
#include "session.h"

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

CK_RV ListToken(const CK_FUNCTION_LIST &p11, CK_SLOT_ID slot, std::FILE *out)
{
    CK_TOKEN_INFO token{};
    const CK_RV rv = p11.C_GetTokenInfo(slot, &token);
    if (rv != CKR_OK) {
        ReportFailure("C_GetTokenInfo", rv);
        return rv;
    }
    std::fprintf(out,
                 "  token: %s\n  manufacturer: %s\n  model: %s\n  serial: %s\n"
                 "  random number generator: %s\n  login required: %s\n  initialized: %s\n"
                 "  uri: %s\n",
                 Printable(token.label).c_str(), Printable(token.manufacturerID).c_str(),
                 Printable(token.model).c_str(), Printable(token.serialNumber).c_str(),
                 YesNo(token.flags, CKF_RNG), YesNo(token.flags, CKF_LOGIN_REQUIRED),
                 YesNo(token.flags, CKF_TOKEN_INITIALIZED), TokenUri(slot).c_str());
    return CKR_OK;
}

}  // namespace

std::string Printable(std::span<const CK_UTF8CHAR> field)
{
    std::size_t end = field.size();
    while (end > 0 && field[end - 1] == ' ') {
        --end;
    }
    std::string text;
    for (const CK_UTF8CHAR byte : field.first(end)) {
        if (byte < 0x20 || byte == 0x7F) {
            std::array<char, 5> escaped{};
            std::snprintf(escaped.data(), escaped.size(), "\\x%02X", byte);
            text += escaped.data();
        } else {
            text += static_cast<char>(byte);
        }
    }
    return text;
}

std::string SlotName(CK_SLOT_ID slot)
{
    std::array<char, 48> name{};
    std::snprintf(name.data(), name.size(), "%lu (0x%lx)", slot, slot);
    return name.data();
}

CK_RV ListSlots(const CK_FUNCTION_LIST &p11, std::FILE *out)
{
    std::vector<CK_SLOT_ID> slots;
    CK_RV rv = ckhelper::SlotList(p11, CK_FALSE, slots);
    if (rv != CKR_OK) {
        ReportFailure("C_GetSlotList", rv);
        return rv;
    }
    if (slots.empty()) {
        std::fputs("No slots\n", out);
    }
    for (const CK_SLOT_ID slot : slots) {
        CK_SLOT_INFO info{};
        rv = p11.C_GetSlotInfo(slot, &info);
        if (rv != CKR_OK) {
            ReportFailure("C_GetSlotInfo", rv);
            return rv;
        }
        std::fprintf(out, "Slot %s: %s\n", SlotName(slot).c_str(),
                     Printable(info.slotDescription).c_str());
        if ((info.flags & CKF_TOKEN_PRESENT) == 0) {
            std::fputs("  no token\n", out);
        } else if ((rv = ListToken(p11, slot, out)) != CKR_OK) {
            return rv;
        }
    }
    return CKR_OK;
}

}  // namespace randdump

#include "token/token.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "report.h"
#include "token/listing.h"

namespace randdump {
namespace {

// The initialised tokens present, which --token chooses among.
CK_ULONG InitialisedTokens(const CK_FUNCTION_LIST &p11)
{
    std::vector<CK_SLOT_ID> present;
    ckhelper::SlotList(p11, CK_TRUE, present);
    return static_cast<CK_ULONG>(
        std::count_if(present.begin(), present.end(), [&](CK_SLOT_ID slot) {
            CK_TOKEN_INFO info{};
            return p11.C_GetTokenInfo(slot, &info) == CKR_OK &&
                   (info.flags & CKF_TOKEN_INITIALIZED) != 0;
        }));
}

// The one initialised token the URI matches; otherwise says why there is none to choose.
std::optional<CK_SLOT_ID> MatchToken(const CK_FUNCTION_LIST &p11, const char *token,
                                     ExitStatus &status, Report &report)
{
    ckhelper::ParsedUri uri;
    if (!uri.Parse(token, false).empty() || uri.NamesAnotherModule()) {
        report.Say(Format("randdump: --token names another module than %s; see 'randdump --help'",
                          ProviderModulePath()));
        status = kUsageError;
        return std::nullopt;
    }
    std::vector<CK_SLOT_ID> slots;
    const CK_RV rv = ckhelper::MatchingSlots(p11, uri, slots, true);
    if (rv != CKR_OK) {
        report.Failure("C_GetSlotList", rv);
        return std::nullopt;
    }
    if (slots.size() == 1) {
        return slots.front();
    }
    const std::string shown = ckhelper::WithoutPins(token);
    if (slots.empty()) {
        const CK_ULONG seen = InitialisedTokens(p11);
        report.Say(
            Format("No initialised token matches %s (%lu initialised token%s present); "
                   "randdump --list shows them",
                   shown.c_str(), seen, seen == 1 ? "" : "s"));
        return std::nullopt;
    }
    report.Say(Format("%zu initialised tokens match %s; add serial= or slot-id= to choose one:",
                      slots.size(), shown.c_str()));
    for (const CK_SLOT_ID slot : slots) {
        CK_TOKEN_INFO info{};
        p11.C_GetTokenInfo(slot, &info);
        report.Say(Format("  slot %s: %s", SlotName(slot).c_str(), Printable(info.label).c_str()));
    }
    return std::nullopt;
}

}  // namespace

bool TokenPin::Read(char *uri, std::string &reason)
{
    if (const std::string problem = uri_.Parse(uri, false); !problem.empty()) {
        reason = "--token: the URI " + problem;
        return false;
    }
    if (uri_.Pin(file_, pin_, &reason) != CKR_OK) {
        reason = "--token: " + reason;
        return false;
    }
    for (const std::string_view value : ckhelper::PinValues(uri)) {
        std::fill_n(uri + (value.data() - uri), value.size(), '*');
    }
    return true;
}

std::optional<CK_SLOT_ID> ChooseSlot(const CK_FUNCTION_LIST &p11, const Options &options,
                                     ExitStatus &status, Report &report)
{
    status = kNoToken;
    if (options.token == nullptr && !options.slot) {
        return CK_SLOT_ID{0};
    }
    const std::optional<CK_SLOT_ID> slot =
        options.slot ? options.slot : MatchToken(p11, options.token, status, report);
    // A token that cannot generate is named now, rather than by a session's first call.
    CK_TOKEN_INFO info{};
    if (slot && p11.C_GetTokenInfo(*slot, &info) == CKR_OK && (info.flags & CKF_RNG) == 0) {
        report.Say(Format("randdump: the token in slot %s (%s) has no random number generator",
                          SlotName(*slot).c_str(), Printable(info.label).c_str()));
        return std::nullopt;
    }
    return slot;
}

}  // namespace randdump

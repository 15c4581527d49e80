#include "token/token.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "report.h"
#include "token/listing.h"

namespace randdump {

bool TokenPin::Read(char *uri)
{
    if (uri_.Parse(uri, false) != nullptr || uri_.Pin(file_, pin_) != CKR_OK) {
        return false;
    }
    for (const std::string_view value : ckhelper::PinValues(uri)) {
        std::fill_n(uri + (value.data() - uri), value.size(), '*');
    }
    return true;
}

std::optional<CK_SLOT_ID> ChooseSlot(const CK_FUNCTION_LIST &p11, const Options &options,
                                     ExitStatus &status)
{
    if (options.token == nullptr) {
        return options.slot.value_or(0);
    }
    status = kNoToken;
    CK_ULONG count = 0;
    CK_RV rv = FindSlotsByUri(options.token, nullptr, &count);
    std::vector<CK_SLOT_ID> slots(rv == CKR_OK ? count : 0);
    if (!slots.empty()) {
        rv = FindSlotsByUri(options.token, slots.data(), &count);
    }
    if (rv == CKR_ARGUMENTS_BAD) {  // the URI itself was found sound before
        std::fprintf(stderr, "randdump: --token names another module than %s\n",
                     ProviderModulePath());
        status = kUsageError;
        return std::nullopt;
    }
    if (rv != CKR_OK) {
        ReportFailure("FindSlotsByUri", rv);
        return std::nullopt;
    }
    if (count == 1) {
        return slots.front();
    }
    if (count == 0) {
        CK_ULONG seen = 0;
        p11.C_GetSlotList(CK_TRUE, nullptr, &seen);
        std::fprintf(stderr, "No token matches %s (%lu token%s seen); randdump --list shows them\n",
                     options.token, seen, seen == 1 ? "" : "s");
        return std::nullopt;
    }
    std::fprintf(stderr, "%lu tokens match %s; add serial= or slot-id= to choose one:\n", count,
                 options.token);
    for (const CK_SLOT_ID slot : slots) {
        CK_TOKEN_INFO info{};
        p11.C_GetTokenInfo(slot, &info);
        std::fprintf(stderr, "  slot %s: %s\n", SlotName(slot).c_str(),
                     Printable(info.label).c_str());
    }
    return std::nullopt;
}

}  // namespace randdump

// Naming tokens and objects by text: a token by its label, an object by class and label.
#include <algorithm>
#include <array>
#include <cstring>

#include "ckhelper.h"
#include "session.h"
#include "templates.h"

namespace {

// CK_TOKEN_INFO's label: 32 bytes, blank-padded, not terminated.
constexpr std::size_t kLabelSize = 32;
using LabelBuffer = std::array<char, kLabelSize + 1>;

// A label as compared: cut to 32 bytes, terminated, trailing blanks stripped.
LabelBuffer ComparableLabel(const char *text, std::size_t length)
{
    LabelBuffer label{};
    std::memcpy(label.data(), text, std::min(length, kLabelSize));
    TrimTrailingSpaces(label.data(), static_cast<int>(kLabelSize));
    return label;
}

}  // namespace

extern "C" void TrimTrailingSpaces(char *text, int size)
{
    if (text == nullptr || size <= 0) {
        return;
    }
    std::size_t end = strnlen(text, static_cast<std::size_t>(size));
    while (end > 1 && text[end - 1] == ' ') {
        text[--end] = '\0';
    }
}

extern "C" CK_RV FindSlotByTokenLabel(const char *label, CK_SLOT_ID *pSlot)
{
    if (label == nullptr || pSlot == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    CK_FUNCTION_LIST_PTR p11 = ProviderFunctions();
    if (p11 == nullptr) {
        return CKR_GENERAL_ERROR;
    }
    const LabelBuffer wanted = ComparableLabel(label, strnlen(label, kLabelSize));
    return ckhelper::FindTokenSlot(
        *p11,
        [&](CK_SLOT_ID, const CK_TOKEN_INFO &info) {
            const LabelBuffer found =
                ComparableLabel(reinterpret_cast<const char *>(info.label), sizeof info.label);
            return std::strcmp(found.data(), wanted.data()) == 0;
        },
        pSlot);
}

extern "C" CK_RV FindObjectByLabel(CK_SESSION_HANDLE hSession, CK_OBJECT_CLASS objectClass,
                                   const char *label, CK_OBJECT_HANDLE *phObject)
{
    if (label == nullptr || phObject == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    CK_FUNCTION_LIST_PTR p11 = ProviderFunctions();
    if (p11 == nullptr) {
        return CKR_GENERAL_ERROR;
    }
    std::array<CK_ATTRIBUTE, 2> match{{{CKA_CLASS, nullptr, 0}, {CKA_LABEL, nullptr, 0}}};
    ckhelper::FillAttr(match, CKA_CLASS, &objectClass, sizeof objectClass);
    ckhelper::FillLabel(match, label);
    return ckhelper::FindFirstObject(*p11, hSession, match, phObject);
}

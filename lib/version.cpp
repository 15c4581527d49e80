#include "ckhelper.h"
#include "entry.h"

namespace {

// The only Cryptoki generation whose structures this library is built against.
constexpr int kSupportedMajor = 2;

}  // namespace

extern "C" CK_RV CheckCryptokiVersion(int requiredMajor)
{
    if (requiredMajor != kSupportedMajor) {
        return CKR_GENERAL_ERROR;
    }
    CK_FUNCTION_LIST_PTR p11 = ProviderFunctions();
    if (p11 == nullptr) {
        return CKR_GENERAL_ERROR;
    }
    CK_INFO info{};
    const CK_RV rv = provider::Entry(p11->C_GetInfo)(&info);
    if (rv != CKR_OK) {
        return rv;
    }
    return info.cryptokiVersion.major == kSupportedMajor ? CKR_OK : CKR_GENERAL_ERROR;
}

extern "C" const char *CkhelperVersion(void)
{
    return CKHELPER_VERSION_TEXT;
}

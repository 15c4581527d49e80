#include "token/module.h"

namespace randdump {

Module::Module(const CK_FUNCTION_LIST &p11, bool threads) : p11_(p11), threads_(threads)
{
    locking_.flags = CKF_OS_LOCKING_OK;
}

CK_RV Module::Initialize(Report &report)
{
    const CK_RV rv = p11_.C_Initialize(threads_ ? &locking_ : nullptr);
    if (rv != CKR_OK) {
        report.Failure("C_Initialize", rv);
    }
    return rv;
}

void Module::Finalize(Report &report) const
{
    const CK_RV rv = p11_.C_Finalize(nullptr);
    if (rv != CKR_OK) {
        report.Failure("C_Finalize", rv);
    }
}

}  // namespace randdump

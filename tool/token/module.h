// The module's start and end, at the start of a run and at each restart.
#ifndef TOOL_TOKEN_MODULE_H
#define TOOL_TOKEN_MODULE_H

#include <p11-kit/pkcs11.h>

#include "report.h"

namespace randdump {

class Module {
public:
    // `threads`: sessions on several threads, for which the module must lock for itself.
    Module(const CK_FUNCTION_LIST &p11, bool threads);

    // C_Initialize, its failure reported.
    CK_RV Initialize(Report &report);
    // C_Finalize, its failure reported, and never the run's.
    void Finalize(Report &report) const;

    [[nodiscard]] const CK_FUNCTION_LIST &Functions() const { return p11_; }

private:
    const CK_FUNCTION_LIST &p11_;
    CK_C_INITIALIZE_ARGS locking_{};
    bool threads_;
};

}  // namespace randdump

#endif

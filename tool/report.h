// How randdump reports a failing provider call.
#ifndef TOOL_REPORT_H
#define TOOL_REPORT_H

#include <p11-kit/pkcs11.h>

namespace randdump {

// "CALL error CODE, TEXT" on standard error, CODE in lower-case hex, TEXT the result's text.
void ReportFailure(const char *call, CK_RV rv);

}  // namespace randdump

#endif

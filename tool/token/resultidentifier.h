// A PKCS#11 result as the standard names it, for scripts to compare.
#ifndef TOOL_TOKEN_RESULTIDENTIFIER_H
#define TOOL_TOKEN_RESULTIDENTIFIER_H

#include <p11-kit/pkcs11.h>

#include <string>

namespace randdump {

// CKR_DATA_LEN_RANGE for CKR_DATA_LEN_RANGE; a code the standard does not name (a vendor's, or
// one unknown), in hex: 0x80000102.
std::string ResultIdentifier(CK_RV rv);

}  // namespace randdump

#endif

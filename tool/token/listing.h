// randdump --list: the module's slots and tokens, as a person choosing a token needs them.
#ifndef TOOL_LISTING_H
#define TOOL_LISTING_H

#include <p11-kit/pkcs11.h>

#include <cstdio>
#include <span>
#include <string>

#include "report.h"

namespace randdump {

// Prints every slot (with a token or not) to `out`: its ID in decimal and hex and its
// description; for a token, its label, manufacturer, model, serial, the flags that matter to
// randdump, and its URI, ready for --token. A slot whose information cannot be read shows the
// failure in its place. Returns C_GetSlotList's code when it failed, after printing it on
// standard error.
CK_RV ListSlots(const CK_FUNCTION_LIST &p11, std::FILE *out, Report &report);

// The same as one JSON document, with the record's module, slot and token objects: the module,
// then every slot in the module's order, each with its token (null when there is none or it
// cannot be read) and the name of C_GetTokenInfo's failure (or null).
CK_RV ListSlotsJson(const CK_FUNCTION_LIST &p11, std::FILE *out, Report &report);

// A blank-padded field of CK_TOKEN_INFO or CK_SLOT_INFO as text: trailing blanks stripped, bytes
// that would drive a terminal (C0 and C1 controls, in one byte or in UTF-8) and bytes that are
// not UTF-8 shown as \xNN.
std::string Printable(std::span<const CK_UTF8CHAR> field);

// "ID (0xHEX)".
std::string SlotName(CK_SLOT_ID slot);

}  // namespace randdump

#endif

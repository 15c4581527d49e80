// Filling the library's own attribute templates, which are declared with their types first.
#ifndef LIB_TEMPLATES_H
#define LIB_TEMPLATES_H

#include <cstring>
#include <span>

#include "ckhelper.h"

namespace ckhelper {

// Points the entry of `type` at `value`. Templates here only ever look up types they declared.
inline void FillAttr(std::span<CK_ATTRIBUTE> entries, CK_ATTRIBUTE_TYPE type, void *value,
                     CK_ULONG length)
{
    CK_ATTRIBUTE *entry = FindAttr(type, entries.data(), entries.size());
    entry->pValue = value;
    entry->ulValueLen = length;
}

// A label entry: the text without its terminator. CK_ATTRIBUTE has no const form, but the
// provider only reads a template's values.
inline void FillLabel(std::span<CK_ATTRIBUTE> entries, const char *label)
{
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast)
    FillAttr(entries, CKA_LABEL, const_cast<char *>(label), std::strlen(label));
}

}  // namespace ckhelper

#endif

// Shared by the constant name tables: the lookups behind every Name/Value wrapper.
#ifndef LIB_CONSTNAMES_H
#define LIB_CONSTNAMES_H

#include <span>
#include <string_view>

#include "ckhelper.h"

namespace ckhelper {

// Value to name over a whole table.
const char *NameOf(CK_ULONG value, std::span<const ConstNameEntry> table);

// Name to value over a whole table; `prefix` is skipped when `name` starts with it exactly.
CK_ULONG ValueOf(const char *name, std::string_view prefix, std::span<const ConstNameEntry> table);

}  // namespace ckhelper

#endif

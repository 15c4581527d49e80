// Shared by the constant name tables: the lookups behind every Name/Value wrapper.
#ifndef LIB_CONSTNAMES_H
#define LIB_CONSTNAMES_H

#include <array>
#include <span>
#include <string_view>

#include "ckhelper.h"

namespace ckhelper {

// The searchable rows of a table declared with its {0, nullptr} terminating row.
template <std::size_t N>
constexpr std::span<const ConstNameEntry> Rows(const std::array<ConstNameEntry, N> &table)
{
    return std::span(table).template first<N - 1>();
}

// Value to name over a whole table.
const char *NameOf(CK_ULONG value, std::span<const ConstNameEntry> table);

// Name to value over a whole table; `prefix` is skipped when `name` starts with it exactly.
CK_ULONG ValueOf(const char *name, std::string_view prefix, std::span<const ConstNameEntry> table);

// A table with its wrappers, for code that treats all tables alike.
struct NameTable {
    std::string_view title;
    std::string_view prefix;
    std::span<const ConstNameEntry> rows;
    const char *(*name)(CK_ULONG);
    CK_ULONG (*value)(const char *);
};

std::span<const ConstNameEntry> ResultCodeRows();

// The result codes, object classes, key types, attribute types, mechanisms, session states.
std::span<const NameTable> NameTables();

}  // namespace ckhelper

#endif

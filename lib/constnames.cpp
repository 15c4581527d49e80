#include "constnames.h"

#include <cstring>

namespace {

constexpr CK_ULONG kVendorDefinedBit = 0x80000000UL;

std::span<const ConstNameEntry> Rows(const ConstNameEntry *table, int count)
{
    if (table == nullptr || count <= 0) {
        return {};
    }
    return {table, static_cast<size_t>(count)};
}

}  // namespace

namespace ckhelper {

const char *NameOf(CK_ULONG value, std::span<const ConstNameEntry> table)
{
    for (const ConstNameEntry &row : table) {
        // A caller's row without a name is no match: the result is never null.
        if (row.value == value && row.name != nullptr) {
            return row.name;
        }
    }
    return (value & kVendorDefinedBit) != 0 ? "Vendor defined" : "UNKNOWN";
}

CK_ULONG ValueOf(const char *name, std::string_view prefix, std::span<const ConstNameEntry> table)
{
    if (name == nullptr) {
        return CKHELPER_NOT_FOUND;
    }
    // strncmp stops at the terminator, so a name shorter than the prefix never matches.
    if (!prefix.empty() && std::strncmp(name, prefix.data(), prefix.size()) == 0) {
        name += prefix.size();
    }
    for (const ConstNameEntry &row : table) {
        if (row.name != nullptr && std::strcmp(row.name, name) == 0) {
            return row.value;
        }
    }
    return CKHELPER_NOT_FOUND;
}

}  // namespace ckhelper

extern "C" const char *LookupName(CK_ULONG value, const ConstNameEntry *table, int count)
{
    return ckhelper::NameOf(value, Rows(table, count));
}

extern "C" CK_ULONG LookupValue(const char *name, const ConstNameEntry *table, int count)
{
    return ckhelper::ValueOf(name, {}, Rows(table, count));
}

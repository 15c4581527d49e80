/*
 * ckhelper: plain Cryptoki helper functions over a PKCS#11 provider.
 *
 * Every function that talks to the provider returns a CK_RV: CKR_OK on success, otherwise the
 * provider's code unchanged or one of the library's own (CKR_GENERAL_ERROR, CKR_ARGUMENTS_BAD,
 * CKR_ATTRIBUTE_TYPE_INVALID, CKR_HOST_MEMORY). The library prints nothing.
 *
 * The provider module is bound on first use: the path in PKCS11_MODULE_PATH when that is set and
 * not empty, else the default chosen when the library was built. No set-up call is needed.
 */
#ifndef CKHELPER_H
#define CKHELPER_H

#include <stddef.h>

#include <p11-kit/pkcs11.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Provider binding ---------------------------------------------------------------------- */

/* The bound provider's function list, binding the module on first use; null when it cannot be
 * bound. Programs call the provider through it (C_Initialize, C_OpenSession, ...). */
CK_FUNCTION_LIST_PTR ProviderFunctions(void);

/* The module path the library binds (or tried to bind). */
const char *ProviderModulePath(void);

/* Why the module could not be bound, as the loader said it; empty when it is bound. */
const char *ProviderBindError(void);

/* ---- Constant names and result texts ------------------------------------------------------- */

/* One row of a constant name table. */
typedef struct ConstNameEntry {
    CK_ULONG value;
    const char *name;
} ConstNameEntry;

/* Returned by the name-to-value searches for a name that no row holds. */
#define CKHELPER_NOT_FOUND ((CK_ULONG)-1)

/* Name of the first of `count` rows holding `value`; "Vendor defined" for an unknown value with
 * bit 31 set, else "UNKNOWN". Never null. */
const char *LookupName(CK_ULONG value, const ConstNameEntry *table, int count);

/* Value of the first of `count` rows whose name equals `name` exactly; CKHELPER_NOT_FOUND when
 * none does (or `name` is null). */
CK_ULONG LookupValue(const char *name, const ConstNameEntry *table, int count);

/* Result code texts ("general error"), and back; ResultValue accepts the "CKR_" prefix. */
const char *ResultName(CK_ULONG value);
CK_ULONG ResultValue(const char *name);

/* Writes the text for `rv` into `buffer`, always terminated within `size` bytes (a longer text is
 * cut), the rest of the `size` bytes zero-filled; writes nothing when `size` is 0. Returns CKR_OK.
 */
CK_RV GetErrorString(CK_RV rv, char *buffer, size_t size);

/* CKR_OK when the provider speaks Cryptoki major version `requiredMajor`, which must be 2;
 * CKR_GENERAL_ERROR for another version; C_GetInfo's failure unchanged. */
CK_RV CheckCryptokiVersion(int requiredMajor);

#ifdef __cplusplus
}
#endif

#endif /* CKHELPER_H */

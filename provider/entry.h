// A module's function list may leave out what it does not implement: a null entry.
#ifndef PROVIDER_ENTRY_H
#define PROVIDER_ENTRY_H

#include <p11-kit/pkcs11.h>

namespace provider {

template <typename... A>
CK_RV NotSupported(A... /*unused*/)
{
    return CKR_FUNCTION_NOT_SUPPORTED;
}

// The entry, or one that answers CKR_FUNCTION_NOT_SUPPORTED in its place: call
// Entry(p11.C_Login)(...) where a null entry must not crash the caller.
template <typename... A>
constexpr auto Entry(CK_RV (*entry)(A...)) -> CK_RV (*)(A...)
{
    return entry != nullptr ? entry : &NotSupported<A...>;
}

}  // namespace provider

#endif

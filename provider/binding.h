// The one binding between this process and its PKCS#11 provider module.
#ifndef PROVIDER_BINDING_H
#define PROVIDER_BINDING_H

#include <p11-kit/pkcs11.h>

#include <string>

namespace provider {

struct Binding {
    std::string modulePath;
    CK_FUNCTION_LIST_PTR functions = nullptr;  // null when the module could not be bound
    std::string error;                         // the loader's reason when it could not
};

// Binds the module on the first call, from any thread; later calls return the same binding.
const Binding &Bound();

}  // namespace provider

#endif

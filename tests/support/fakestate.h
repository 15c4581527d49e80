// The state of the scriptable provider module this process's library is bound to.
#ifndef TESTS_SUPPORT_FAKESTATE_H
#define TESTS_SUPPORT_FAKESTATE_H

#include <dlfcn.h>

#include "ckhelper.h"
#include "fake/fakep11.h"

namespace testsupport {

// Null unless PKCS11_MODULE_PATH names the fake module (the tests' environment does).
inline fakep11::State *FakeState()
{
    if (ProviderFunctions() == nullptr) {
        return nullptr;
    }
    void *module = dlopen(ProviderModulePath(), RTLD_NOW | RTLD_NOLOAD);
    if (module == nullptr) {
        return nullptr;
    }
    auto *state = reinterpret_cast<fakep11::State *(*)()>(dlsym(module, "fakep11_state"));
    dlclose(module);  // only drops the reference RTLD_NOLOAD took
    return state != nullptr ? state() : nullptr;
}

}  // namespace testsupport

#endif

// The state of the scriptable provider module this process's library is bound to.
#ifndef TESTS_SUPPORT_FAKESTATE_H
#define TESTS_SUPPORT_FAKESTATE_H

#include <dlfcn.h>
#include <gtest/gtest.h>

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

// A test against a fresh scriptable module that accepts calls without C_Initialize.
class FakeProviderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake_ = FakeState();
        ASSERT_NE(fake_, nullptr) << "PKCS11_MODULE_PATH does not name the scriptable module";
        fake_->Reset();
        fake_->lenient = true;
    }

    fakep11::State *fake_ = nullptr;
};

}  // namespace testsupport

#endif

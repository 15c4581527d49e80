#include "binding.h"

#include <dlfcn.h>

#include <array>
#include <cstdio>
#include <cstdlib>

#include "ckhelper.h"

#ifndef CKHELPER_DEFAULT_MODULE
#error \
    "CKHELPER_DEFAULT_MODULE must name the provider module bound when PKCS11_MODULE_PATH is unset"
#endif

namespace provider {
namespace {

// A privileged process (setuid, setgid, file capabilities) must not load code its caller names:
// secure_getenv() hides the variable there.
std::string ModulePath()
{
    const char *fromEnvironment = secure_getenv("PKCS11_MODULE_PATH");
    if (fromEnvironment != nullptr && *fromEnvironment != '\0') {
        return fromEnvironment;
    }
    return CKHELPER_DEFAULT_MODULE;
}

std::string LoaderError(const char *fallback)
{
    const char *reason = dlerror();
    return reason != nullptr ? reason : fallback;
}

Binding Bind()
{
    Binding binding;
    binding.modulePath = ModulePath();
    // The module stays loaded for the life of the process: providers keep threads and static
    // state, and unloading one while another library may still hold its function list is unsafe.
    void *module = dlopen(binding.modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        binding.error = LoaderError("cannot load module");
        return binding;
    }
    auto *getFunctionList =
        reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"));
    if (getFunctionList == nullptr) {
        binding.error = LoaderError("no C_GetFunctionList in module");
        return binding;
    }
    CK_FUNCTION_LIST_PTR functions = nullptr;
    const CK_RV rv = getFunctionList(&functions);
    if (rv != CKR_OK) {
        std::array<char, 100> text{};
        GetErrorString(rv, text.data(), text.size());
        std::array<char, 32> code{};
        std::snprintf(code.data(), code.size(), "%lx", rv);
        binding.error = "C_GetFunctionList error " + std::string(code.data()) + ", " + text.data();
        return binding;
    }
    if (functions == nullptr) {
        binding.error = "C_GetFunctionList gave no function list";
        return binding;
    }
    binding.functions = functions;
    return binding;
}

}  // namespace

const Binding &Bound()
{
    static const Binding binding = Bind();
    return binding;
}

}  // namespace provider

extern "C" CK_FUNCTION_LIST_PTR ProviderFunctions(void)
{
    return provider::Bound().functions;
}

extern "C" const char *ProviderModulePath(void)
{
    return provider::Bound().modulePath.c_str();
}

extern "C" const char *ProviderBindError(void)
{
    return provider::Bound().error.c_str();
}

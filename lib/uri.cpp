// Opening an object named by a PKCS#11 URI (RFC 7512), which p11-kit parses and matches.
#include <fcntl.h>
#include <p11-kit/uri.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "ckhelper.h"
#include "session.h"

namespace {

// p11-kit keeps the decoded pin-value; it is wiped before p11-kit releases it.
struct FreeUri {
    void operator()(P11KitUri *uri) const
    {
        if (const char *pin = p11_kit_uri_get_pin_value(uri); pin != nullptr) {
            // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast)
            explicit_bzero(const_cast<char *>(pin), std::strlen(pin));
        }
        p11_kit_uri_free(uri);
    }
};
using Uri = std::unique_ptr<P11KitUri, FreeUri>;

// Longer PIN files are refused.
constexpr std::size_t kMaxPinFile = 1024;

// Reads the PIN from the file a pin-source names (a file: URI or a plain path), one trailing
// newline stripped. Null when the file cannot be read.
std::optional<std::string_view> ReadPin(std::string_view source, ckhelper::WipedText &buffer)
{
    if (source.starts_with("file://")) {
        source.remove_prefix(std::strlen("file://"));
    } else if (source.starts_with("file:")) {
        source.remove_prefix(std::strlen("file:"));
    }
    const int fd = open(std::string(source).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::size_t length = 0;
    ssize_t got = 0;
    while ((got = read(fd, buffer.Data() + length, kMaxPinFile + 1 - length)) > 0) {
        length += static_cast<std::size_t>(got);
    }
    close(fd);
    if (got < 0 || length > kMaxPinFile) {
        return std::nullopt;
    }
    if (length > 0 && buffer.Data()[length - 1] == '\n') {
        --length;
    }
    return std::string_view(buffer.Data(), length);
}

bool SameFile(const char *a, const char *b)
{
    struct stat first {};
    struct stat second {};
    return std::strcmp(a, b) == 0 ||
           (stat(a, &first) == 0 && stat(b, &second) == 0 && first.st_dev == second.st_dev &&
            first.st_ino == second.st_ino);
}

// The library binds one module: a URI may name only that one, by path or by name (the file name
// without "lib" and ".so", as p11-kit names modules).
bool NamesTheBoundModule(const P11KitUri *uri)
{
    const char *path = p11_kit_uri_get_module_path(uri);
    const char *name = p11_kit_uri_get_module_name(uri);
    std::string_view bound = ProviderModulePath();
    if (path != nullptr && !SameFile(path, ProviderModulePath())) {
        return false;
    }
    bound = bound.substr(bound.rfind('/') + 1);
    if (bound.starts_with("lib")) {
        bound.remove_prefix(3);
    }
    return name == nullptr || bound.substr(0, bound.find(".so")) == name;
}

}  // namespace

extern "C" CK_RV OpenObjectByUri(const char *uri, CK_SLOT_ID *pSlot, CK_SESSION_HANDLE *phSession,
                                 CK_OBJECT_HANDLE *phObject)
{
    try {
        const Uri parsed(p11_kit_uri_new());
        if (uri == nullptr || !parsed ||
            p11_kit_uri_parse(uri, P11_KIT_URI_FOR_ANY, parsed.get()) != P11_KIT_URI_OK ||
            !NamesTheBoundModule(parsed.get())) {
            return CKR_ARGUMENTS_BAD;
        }
        ckhelper::WipedText pinFile(std::string(kMaxPinFile + 1, '\0'));
        std::optional<std::string_view> pin;
        if (const char *value = p11_kit_uri_get_pin_value(parsed.get()); value != nullptr) {
            pin = value;
        } else if (const char *source = p11_kit_uri_get_pin_source(parsed.get());
                   source != nullptr) {
            pin = ReadPin(source, pinFile);
            if (!pin) {
                return CKR_ARGUMENTS_BAD;
            }
        }
        CK_FUNCTION_LIST_PTR p11 = ProviderFunctions();
        if (p11 == nullptr) {
            return CKR_GENERAL_ERROR;
        }
        const CK_SLOT_ID wantedSlot = p11_kit_uri_get_slot_id(parsed.get());
        CK_SLOT_ID slot = 0;
        const CK_RV rv = ckhelper::FindTokenSlot(
            *p11,
            [&](CK_SLOT_ID candidate, const CK_TOKEN_INFO &info) {
                return (wantedSlot == static_cast<CK_SLOT_ID>(-1) || candidate == wantedSlot) &&
                       p11_kit_uri_match_token_info(parsed.get(), &info) == 1;
            },
            &slot);
        if (rv != CKR_OK) {
            return rv;
        }
        CK_ULONG count = 0;
        CK_ATTRIBUTE *match = p11_kit_uri_get_attributes(parsed.get(), &count);
        return ckhelper::OpenObjectInSlot(
            *p11, slot, pin,
            [&](CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE *phFound) {
                return ckhelper::FindFirstObject(*p11, hSession, {match, count}, phFound);
            },
            pSlot, phSession, phObject);
    } catch (const std::bad_alloc &) {
        return CKR_HOST_MEMORY;
    }
}

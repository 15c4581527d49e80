// The PIN a PKCS#11 URI gives, from its pin-value or from the file its pin-source names.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "descriptor.h"
#include "uri.h"

namespace ckhelper {
namespace {

// A pin-source names a file by path or by file: URI (RFC 8089): file:/path, file:///path or
// file://localhost/path. A file on another host is not for this process to read.
std::optional<std::string> PinFilePath(std::string_view source)
{
    constexpr std::string_view kScheme = "file:";
    constexpr std::string_view kAuthority = "//";
    constexpr std::string_view kLocalhost = "localhost";
    if (!source.starts_with(kScheme)) {
        return std::string(source);
    }
    source.remove_prefix(kScheme.size());
    if (source.starts_with(kAuthority)) {
        source.remove_prefix(kAuthority.size());
        if (source.starts_with(kLocalhost)) {
            source.remove_prefix(kLocalhost.size());
        }
        if (!source.starts_with('/')) {
            return std::nullopt;
        }
    }
    return std::string(source);
}

// The first line of a regular file, read into `buffer` no further than the line needs. Anything
// else (a FIFO, which would block, a device, a directory) is refused, and so are a line that is
// empty (a login with it would only spend a try), too long, or holding a zero byte. Otherwise
// `reason` says why.
std::optional<std::string_view> ReadPinFile(const std::string &path, WipedText &buffer,
                                            std::string &reason)
{
    const Descriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat status {};
    if (file.Get() < 0 || fstat(file.Get(), &status) != 0) {
        reason = std::strerror(errno);
        return std::nullopt;
    }
    if (!S_ISREG(status.st_mode)) {
        reason = "it is not a regular file";
        return std::nullopt;
    }
    std::size_t length = 0;
    std::size_t end = std::string_view::npos;
    while (end == std::string_view::npos && length <= ParsedUri::kMaxPinFile) {
        const ssize_t got =
            read(file.Get(), buffer.Data() + length, ParsedUri::kMaxPinFile + 1 - length);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            reason = std::strerror(errno);
            return std::nullopt;
        }
        const std::string_view fresh(buffer.Data() + length, static_cast<std::size_t>(got));
        length += fresh.size();
        end = fresh.find('\n');
        end = end != std::string_view::npos ? length - fresh.size() + end
                                            : (got == 0 ? length : std::string_view::npos);
    }
    if (end > ParsedUri::kMaxPinFile) {  // npos too: no end within the most that is read
        reason =
            "its first line is longer than " + std::to_string(ParsedUri::kMaxPinFile) + " bytes";
        return std::nullopt;
    }
    std::string_view pin(buffer.Data(), end);
    if (pin.ends_with('\r')) {  // written on Windows
        pin.remove_suffix(1);
    }
    if (pin.empty()) {
        reason = "its first line is empty";
        return std::nullopt;
    }
    if (pin.find('\0') != std::string_view::npos) {
        reason = "its first line holds a zero byte";
        return std::nullopt;
    }
    return pin;
}

}  // namespace

CK_RV ParsedUri::Pin(WipedText &buffer, std::optional<std::string_view> &pin,
                     std::string *reason) const
{
    pin.reset();
    if (const char *value = p11_kit_uri_get_pin_value(uri_); value != nullptr) {
        pin = value;
        return CKR_OK;
    }
    const char *source = p11_kit_uri_get_pin_source(uri_);
    if (source == nullptr) {
        return CKR_OK;
    }
    std::string why = "it is on another host";
    if (const std::optional<std::string> path = PinFilePath(source)) {
        pin = ReadPinFile(*path, buffer, why);
    }
    if (!pin && reason != nullptr) {
        *reason = "cannot read the PIN from " + std::string(source) + ": " + why;
    }
    return pin ? CKR_OK : CKR_ARGUMENTS_BAD;
}

}  // namespace ckhelper

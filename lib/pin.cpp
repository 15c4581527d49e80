// The PIN a PKCS#11 URI gives, from its pin-value or from the file its pin-source names.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

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

// The first line of a regular file, read into `buffer`. Anything else (a FIFO, which would block,
// a device, a directory) is refused, and so is a PIN holding a zero byte.
std::optional<std::string_view> ReadPinFile(const std::string &path, WipedText &buffer)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat file {};
    std::size_t length = 0;
    ssize_t got = 0;
    if (fstat(fd, &file) != 0 || !S_ISREG(file.st_mode)) {
        got = -1;
    }
    while (got >= 0 &&
           (got = read(fd, buffer.Data() + length, ParsedUri::kMaxPinFile + 1 - length)) > 0) {
        length += static_cast<std::size_t>(got);
    }
    close(fd);
    if (got < 0 || length > ParsedUri::kMaxPinFile) {
        return std::nullopt;
    }
    std::string_view pin(buffer.Data(), length);
    pin = pin.substr(0, pin.find('\n'));
    if (pin.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    return pin;
}

}  // namespace

CK_RV ParsedUri::Pin(WipedText &buffer, std::optional<std::string_view> &pin) const
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
    const std::optional<std::string> path = PinFilePath(source);
    if (path) {
        pin = ReadPinFile(*path, buffer);
    }
    return pin ? CKR_OK : CKR_ARGUMENTS_BAD;
}

}  // namespace ckhelper

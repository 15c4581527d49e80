#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "constnames.h"

namespace {

// Standard codes first, then the token vendor's own (bit 31 set). Texts are shown to users and
// matched by ResultValue, so they stay exactly as they are, spelling included.
constexpr std::array<ConstNameEntry, 129 + 1> kResultCodes{{
    {CKR_OK, "success"},
    {CKR_CANCEL, "cancel"},
    {CKR_HOST_MEMORY, "host memory"},
    {CKR_SLOT_ID_INVALID, "slot ID invalid"},
    {CKR_GENERAL_ERROR, "general error"},
    {CKR_FUNCTION_FAILED, "function failed"},
    {CKR_ARGUMENTS_BAD, "arguments bad"},
    {CKR_NO_EVENT, "no event"},
    {CKR_NEED_TO_CREATE_THREADS, "need to create threads"},
    {CKR_CANT_LOCK, "cant lock"},
    {CKR_ATTRIBUTE_READ_ONLY, "attribute read only"},
    {CKR_ATTRIBUTE_SENSITIVE, "attribute sensitive"},
    {CKR_ATTRIBUTE_TYPE_INVALID, "attribute type invalid"},
    {CKR_ATTRIBUTE_VALUE_INVALID, "attribute value invalid"},
    {CKR_DATA_INVALID, "data invalid"},
    {CKR_DATA_LEN_RANGE, "data length range"},
    {CKR_DEVICE_ERROR, "device error"},
    {CKR_DEVICE_REMOVED, "device removed"},
    {CKR_DEVICE_MEMORY, "device memory"},
    {CKR_ENCRYPTED_DATA_INVALID, "encrypted data invalid"},
    {CKR_ENCRYPTED_DATA_LEN_RANGE, "encrypted data len_range"},
    {CKR_FUNCTION_CANCELED, "function canceled"},
    {CKR_FUNCTION_NOT_SUPPORTED, "function not supported"},
    {CKR_KEY_HANDLE_INVALID, "key handle invalid"},
    {CKR_KEY_SIZE_RANGE, "key size range"},
    {CKR_KEY_TYPE_INCONSISTENT, "key type inconsistent"},
    {CKR_KEY_CHANGED, "key changed"},
    {CKR_KEY_NOT_NEEDED, "key not needed"},
    {CKR_KEY_NEEDED, "key needed"},
    {CKR_KEY_INDIGESTIBLE, "key indigestable"},
    {CKR_KEY_FUNCTION_NOT_PERMITTED, "key function not permitted"},
    {CKR_KEY_NOT_WRAPPABLE, "key not wrappable"},
    {CKR_KEY_UNEXTRACTABLE, "key unextractable"},
    {CKR_MECHANISM_INVALID, "mechanism invalid"},
    {CKR_MECHANISM_PARAM_INVALID, "mechanism param invalid"},
    {CKR_OBJECT_HANDLE_INVALID, "object handle invalid"},
    {CKR_OPERATION_ACTIVE, "operation active"},
    {CKR_OPERATION_NOT_INITIALIZED, "operation not initialized"},
    {CKR_PIN_INCORRECT, "PIN incorrect"},
    {CKR_PIN_INVALID, "PIN invalid"},
    {CKR_PIN_LEN_RANGE, "PIN length range"},
    {CKR_PIN_EXPIRED, "PIN expiered"},
    {CKR_PIN_LOCKED, "PIN locked"},
    {CKR_SESSION_CLOSED, "session closed"},
    {CKR_SESSION_COUNT, "session count"},
    {CKR_SESSION_HANDLE_INVALID, "session handle invalid"},
    {CKR_SESSION_PARALLEL_NOT_SUPPORTED, "parallel session not supported"},
    {CKR_SESSION_READ_ONLY, "session read only"},
    {CKR_SESSION_EXISTS, "session exists"},
    {CKR_SESSION_READ_ONLY_EXISTS, "session read only exists"},
    {CKR_SESSION_READ_WRITE_SO_EXISTS, "session read write SO exists"},
    {CKR_SIGNATURE_INVALID, "signature invalid"},
    {CKR_SIGNATURE_LEN_RANGE, "signature length range"},
    {CKR_TEMPLATE_INCOMPLETE, "template incomplete"},
    {CKR_TEMPLATE_INCONSISTENT, "template inconsistent"},
    {CKR_TOKEN_NOT_PRESENT, "token not present"},
    {CKR_TOKEN_NOT_RECOGNIZED, "token not recognized"},
    {CKR_TOKEN_WRITE_PROTECTED, "token write protected"},
    {CKR_UNWRAPPING_KEY_HANDLE_INVALID, "unwrapping key handle invalid"},
    {CKR_UNWRAPPING_KEY_SIZE_RANGE, "unwrapping key size range"},
    {CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT, "unwrapping key type inconsistent"},
    {CKR_USER_ALREADY_LOGGED_IN, "user already logged in"},
    {CKR_USER_NOT_LOGGED_IN, "user not logged in"},
    {CKR_USER_PIN_NOT_INITIALIZED, "user pin not initialized"},
    {CKR_USER_TYPE_INVALID, "user type invalid"},
    {CKR_USER_ANOTHER_ALREADY_LOGGED_IN, "user another already logged in"},
    {CKR_USER_TOO_MANY_TYPES, "user too many types"},
    {CKR_WRAPPED_KEY_INVALID, "wrapped key invalid"},
    {CKR_WRAPPED_KEY_LEN_RANGE, "wrapped key length range"},
    {CKR_WRAPPING_KEY_HANDLE_INVALID, "wrapping key handle invalid"},
    {CKR_WRAPPING_KEY_SIZE_RANGE, "wrapping key size range"},
    {CKR_WRAPPING_KEY_TYPE_INCONSISTENT, "wrapping key type inconsistent"},
    {CKR_RANDOM_SEED_NOT_SUPPORTED, "random seed not supported"},
    {CKR_RANDOM_NO_RNG, "no random number generator"},
    {CKR_DOMAIN_PARAMS_INVALID, "domain parameters invalid"},
    {CKR_BUFFER_TOO_SMALL, "buffer too small"},
    {CKR_SAVED_STATE_INVALID, "saved state invalid"},
    {CKR_INFORMATION_SENSITIVE, "information sensitive"},
    {CKR_STATE_UNSAVEABLE, "state unsaveable"},
    {CKR_CRYPTOKI_NOT_INITIALIZED, "cryptoki not initialized"},
    {CKR_CRYPTOKI_ALREADY_INITIALIZED, "cryptoki already initialized"},
    {CKR_MUTEX_BAD, "mutex bad"},
    {CKR_MUTEX_NOT_LOCKED, "mutex not locked"},
    {0x80000100UL, "ferand error"},
    {0x80000101UL, "time stamp"},
    {0x80000102UL, "Acces Denied"},
    {0x80000103UL, "cryptoki unusable"},
    {0x80000104UL, "ENCODE_ERROR"},
    {0x80000105UL, "V_CONFIG"},
    {0x80000106UL, "security officer not logged in"},
    {0x80000107UL, "certificate not validated"},
    {0x80000108UL, "PIN already initialized"},
    {0x8000010AUL, "remote server error"},
    {0x8000010BUL, "KZP hardware error"},
    {0x80000110UL, "No challenge exists"},
    {0x80000111UL, "The response is not valid for challenge"},
    {0x80000113UL, "The Event Log is not full"},
    {0x80000114UL, "Object read only"},
    {0x80000115UL, "Token read only"},
    {0x80000116UL, "Token not initialized"},
    {0x80000117UL, "Not admin token"},
    {0x80000130UL, "authentication required"},
    {0x80000131UL, "operation not permitted"},
    {0x80001000UL, "HOST_ERROR"},
    {0x80001001UL, "Internal Error: Bad request received"},
    {0x80001002UL, "Internal Error: Attribute packing invalid"},
    {0x80001003UL, "Internal Error: Attribute count is invalid"},
    {0x80001004UL, "Internal Error: Mechanism parameter packing invalid"},
    {0x80001386UL, "HOST_ERROR no dma"},
    {0x80001400UL, "Requested Host Interface Master Key not found"},
    {0x80000300UL, "MSG_ERROR"},
    {0x80000381UL, "MSG_ERROR cannot derive keys"},
    {0x80000382UL, "MSG_ERROR bad request signature"},
    {0x80000383UL, "MSG_ERROR bad reply signature"},
    {0x80000384UL, "MSG_ERROR general error"},
    {0x80000385UL, "MSG_ERROR bad protection"},
    {0x80000386UL, "MSG_ERROR device was reset"},
    {0x80000387UL, "MSG_ERROR no session keys"},
    {0x80000310UL, "MSG_ERROR need IV update"},
    {0x80000311UL, "MSG_ERROR duplicate IV found"},
    {0x80002000UL, "WLD_ERROR"},
    {0x80002001UL, "WLD_ERROR not WLD configurations found"},
    {0x80002002UL, "WLD_ERROR could not read a WLD configuration item"},
    {0x80002003UL, "WLD_ERROR a WLD configuration has no token label"},
    {0x80002004UL, "WLD_ERROR a WLD configuration has the token label too long"},
    {0x80002005UL, "WLD_ERROR a WLD configuration has the token serial number too long"},
    {0x80002006UL, "WLD_ERROR a WLD configuration has the slot description too long "},
    {0x80002007UL, "WLD_ERROR a WLD configuration has an invalid format"},
    {0x80002010UL, "WLD_ERROR the internal cache for login information is inconsistent"},
    {0, nullptr},
}};

}  // namespace

std::span<const ConstNameEntry> ckhelper::ResultCodeRows()
{
    return Rows(kResultCodes);
}

extern "C" const char *ResultName(CK_ULONG value)
{
    return ckhelper::NameOf(value, ckhelper::ResultCodeRows());
}

extern "C" CK_ULONG ResultValue(const char *name)
{
    return ckhelper::ValueOf(name, "CKR_", ckhelper::ResultCodeRows());
}

extern "C" CK_RV GetErrorString(CK_RV rv, char *buffer, size_t size)
{
    if (buffer == nullptr || size == 0) {
        return CKR_OK;
    }
    // Large enough for "vendor defined error (" + 16 hex digits + ")".
    std::array<char, 48> formatted{};
    std::string_view text = ResultName(rv);
    if (text == "UNKNOWN" || text == "Vendor defined") {
        const char *format =
            (rv & 0x80000000UL) != 0 ? "vendor defined error (%lx)" : "undefined Error (%lx)";
        const int length = std::snprintf(formatted.data(), formatted.size(), format, rv);
        text = std::string_view(formatted.data(), static_cast<size_t>(std::max(length, 0)));
    }
    const size_t copied = std::min(text.size(), size - 1);
    std::memcpy(buffer, text.data(), copied);
    std::memset(buffer + copied, 0, size - copied);
    return CKR_OK;
}

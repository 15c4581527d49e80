#include "evidence/record.h"

#include <sys/utsname.h>

#include <array>
#include <cstdio>
#include <ctime>
#include <string_view>

#include "ckhelper.h"
#include "uri.h"

namespace randdump {
namespace {

using Json = nlohmann::ordered_json;

// A blank-padded field of the module's, slot's or token's information, as the token gave it;
// the JSON library escapes what needs escaping.
Json Field(std::span<const CK_UTF8CHAR> field)
{
    std::string_view text(reinterpret_cast<const char *>(field.data()), field.size());
    text = text.substr(0, text.find_last_not_of(' ') + 1);
    return std::string(text);
}

Json Version(const CK_VERSION &version)
{
    return std::to_string(version.major) + "." + std::to_string(version.minor);
}

// RFC 3339, in UTC, with milliseconds.
Json Time(const std::optional<std::chrono::system_clock::time_point> &when)
{
    if (!when) {
        return nullptr;
    }
    const auto since = when->time_since_epoch();
    const std::time_t seconds = std::chrono::duration_cast<std::chrono::seconds>(since).count();
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(since).count() % 1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    std::array<char, 32> text{};
    const std::size_t length = std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text.data() + length, text.size() - length, ".%03dZ", static_cast<int>(millis));
    return std::string(text.data());
}

}  // namespace

Json ModuleObject(const std::string &path, const ModuleFile &file, const CK_INFO *info)
{
    Json module = {{"path", path},
                   {"sha256", file.sha256 ? Json(*file.sha256) : Json(nullptr)},
                   {"size", file.size ? Json(*file.size) : Json(nullptr)},
                   {"cryptoki_version", nullptr},
                   {"manufacturer", nullptr},
                   {"description", nullptr},
                   {"library_version", nullptr}};
    if (info != nullptr) {
        module["cryptoki_version"] = Version(info->cryptokiVersion);
        module["manufacturer"] = Field(info->manufacturerID);
        module["description"] = Field(info->libraryDescription);
        module["library_version"] = Version(info->libraryVersion);
    }
    return module;
}

Json SlotObject(CK_SLOT_ID slot, const CK_SLOT_INFO *info)
{
    Json object = {{"id", slot},
                   {"description", nullptr},
                   {"manufacturer", nullptr},
                   {"hardware_version", nullptr},
                   {"firmware_version", nullptr}};
    if (info != nullptr) {
        object["description"] = Field(info->slotDescription);
        object["manufacturer"] = Field(info->manufacturerID);
        object["hardware_version"] = Version(info->hardwareVersion);
        object["firmware_version"] = Version(info->firmwareVersion);
    }
    return object;
}

Json TokenObject(const CK_TOKEN_INFO *info, const std::string &uri)
{
    if (info == nullptr) {
        return nullptr;
    }
    const auto flag = [&](CK_FLAGS which) { return (info->flags & which) != 0; };
    return {{"label", Field(info->label)},
            {"manufacturer", Field(info->manufacturerID)},
            {"model", Field(info->model)},
            {"serial", Field(info->serialNumber)},
            {"hardware_version", Version(info->hardwareVersion)},
            {"firmware_version", Version(info->firmwareVersion)},
            {"initialized", flag(CKF_TOKEN_INITIALIZED)},
            {"rng", flag(CKF_RNG)},
            {"login_required", flag(CKF_LOGIN_REQUIRED)},
            {"write_protected", flag(CKF_WRITE_PROTECTED)},
            {"uri", uri.empty() ? Json(nullptr) : Json(uri)}};
}

Record::Record(std::span<char *const> argv)
    : tool_({{"name", "randdump"}, {"version", CkhelperVersion()}}), commandLine_(Json::array())
{
    for (const char *argument : argv) {
        commandLine_.push_back(ckhelper::WithoutPins(argument));
    }
    utsname system{};
    if (uname(&system) == 0) {
        host_ = {{"name", system.nodename},
                 {"system", system.sysname},
                 {"release", system.release},
                 {"machine", system.machine}};
    }
}

void Record::Module(const std::string &path, const ModuleFile &file, const CK_INFO *info)
{
    module_ = ModuleObject(path, file, info);
}

void Record::Token(CK_SLOT_ID slot, const CK_SLOT_INFO *slotInfo, const CK_TOKEN_INFO *tokenInfo,
                   const std::string &uri)
{
    slot_ = SlotObject(slot, slotInfo);
    token_ = TokenObject(tokenInfo, uri);
}

void Record::Drawn(const Sample &sample)
{
    sample_ = {{"output", sample.output ? Json(*sample.output) : Json(nullptr)},
               {"bytes", sample.bytes},
               {"block", sample.block},
               {"sessions", sample.sessions},
               {"restarts", sample.restarts},
               {"sha256", sample.sha256 ? Json(*sample.sha256) : Json(nullptr)}};
}

void Record::Timed(Clock::time_point started, Clock::time_point finished, double seconds)
{
    started_ = started;
    finished_ = finished;
    seconds_ = seconds;
}

void Record::Checks(Json checks)
{
    checks_ = std::move(checks);
}

void Record::Ended(int status, const std::string &message)
{
    status_ = status;
    message_ = message.empty() ? Json(nullptr) : Json(message);
}

std::string Record::Text() const
{
    Json record;
    record["tool"] = tool_;
    record["command_line"] = commandLine_;
    record["host"] = host_;
    record["module"] = module_;
    record["slot"] = slot_;
    record["token"] = token_;
    record["login"] = login_;
    record["sample"] = sample_;
    record["started"] = Time(started_);
    record["finished"] = Time(finished_);
    record["seconds"] = nullptr;
    record["mib_per_second"] = nullptr;
    if (started_) {
        record["seconds"] = seconds_;
        if (seconds_ > 0 && sample_.is_object()) {
            record["mib_per_second"] =
                sample_["bytes"].get<double>() / (1024.0 * 1024.0) / seconds_;
        }
    }
    record["status"] = status_;
    record["message"] = message_;
    if (checks_) {
        record["checks"] = *checks_;
    }
    // Text from the token stays ASCII, for any terminal the record is shown on; what is not
    // UTF-8 is replaced rather than refused.
    return record.dump(2, ' ', true, Json::error_handler_t::replace) + "\n";
}

}  // namespace randdump

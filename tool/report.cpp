#include "report.h"

#include <array>
#include <cstdarg>
#include <vector>

#include "ckhelper.h"

namespace randdump {

void Report::Say(const std::string &line, std::FILE *stream)
{
    std::fprintf(stream, "%s\n", line.c_str());
    std::fflush(stream);
    said_.append(said_.empty() ? "" : "\n").append(line);
}

void Report::Failure(const char *call, CK_RV rv)
{
    Say(std::string(call) + " error " + Result(rv));
}

// A C variadic, so that the compiler checks the arguments against the format.
std::string Format(const char *format, ...)  // NOLINT(cert-dcl50-cpp)
{
    std::va_list arguments;
    va_start(arguments, format);
    std::va_list again;
    va_copy(again, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, arguments);
    va_end(arguments);
    std::vector<char> text(length > 0 ? static_cast<std::size_t>(length) + 1 : 1);
    std::vsnprintf(text.data(), text.size(), format, again);
    va_end(again);
    return text.data();
}

std::string Result(CK_RV rv)
{
    std::array<char, 100> ErrorString{};
    GetErrorString(rv, ErrorString.data(), ErrorString.size());
    return Format("%lx, %s", rv, ErrorString.data());
}

}  // namespace randdump

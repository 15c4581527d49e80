#include "report.h"

#include <array>
#include <cstdio>

#include "ckhelper.h"

namespace randdump {

void ReportFailure(const char *call, CK_RV rv)
{
    std::array<char, 100> ErrorString{};
    GetErrorString(rv, ErrorString.data(), ErrorString.size());
    std::fprintf(stderr, "%s error %lx, %s\n", call, rv, ErrorString.data());
}

}  // namespace randdump

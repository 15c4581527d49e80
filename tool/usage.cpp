#include "usage.h"

#include <cstdio>
#include <string_view>

#include "ckhelper.h"

namespace randdump {
namespace {

constexpr int kUsageError = 64;  // EX_USAGE

constexpr const char *kUsage =
    "Usage: randdump\n"
    "Draws 52,428,800 random bytes from the token in PKCS#11 slot 0 and writes them, raw and in\n"
    "order, to random_0.txt in the current directory. An existing random_0.txt is replaced only\n"
    "once the whole new sample is on disk.\n"
    "\n"
    "The PKCS#11 module is the one named by PKCS11_MODULE_PATH, else %s.\n"
    "\n"
    "Exit status:\n"
    "  0    the sample was written\n"
    "  1    no session could be opened on slot 0\n"
    "  2    the PKCS#11 module cannot be loaded\n"
    "  3    random_0.txt cannot be written\n"
    "  4    C_GenerateRandom failed\n"
    "  64   the command line is malformed\n"
    "  255  the module does not speak Cryptoki 2.x\n"
    "\n"
    "See randdump(1).\n";

}  // namespace

int Usage(std::span<char *> argv)
{
    const std::string_view first = argv[1];
    const bool option = first == "--help" || first == "--version";
    if (option && argv.size() == 2) {
        if (first == "--help") {
            std::printf(kUsage, CKHELPER_DEFAULT_MODULE);
        } else {
            std::printf("randdump %s\n", CkhelperVersion());
        }
        return 0;
    }
    std::fprintf(stderr, "randdump: unexpected argument '%s'\nTry 'randdump --help'.\n",
                 argv[option ? 2 : 1]);
    return kUsageError;
}

}  // namespace randdump

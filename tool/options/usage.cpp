#include "options/usage.h"

#include <cstdio>

#include "ckhelper.h"
#include "status.h"

namespace randdump {
namespace {

constexpr const char *kUsage =
    "Usage: randdump [--token URI | --slot ID] [-o PATH] [--bytes N] [--block N] [--sessions N]\n"
    "                [--record PATH] [--check] [--restarts N] [--module PATH] [-q]\n"
    "       randdump --list [--json] [--module PATH]\n"
    "Draws random bytes from a PKCS#11 token and writes them, raw and in order: by default\n"
    "52,428,800 bytes to random_SLOT.txt in the current directory (random_0.txt: slot ID 0 unless\n"
    "told otherwise). A file is replaced only once the whole new sample is on disk.\n"
    "\n"
    "Options:\n"
    "  --list          list the module's slots and tokens, each token with its URI\n"
    "  --json          with --list: as one JSON document (module, slots with their tokens)\n"
    "  --token URI     the initialised token a PKCS#11 URI names (token=, serial=, slot-id=,\n"
    "                  ...); with pin-value= or pin-source= the user logs in first\n"
    "  --slot ID       the token in the slot with this ID (decimal, or hex after 0x)\n"
    "  -o, --output PATH\n"
    "                  the sample's file instead; - is standard output (the banner and every\n"
    "                  message then go to standard error), and a FIFO or a character device is\n"
    "                  written straight\n"
    "  --bytes N       the sample's size: a number, with K, M, G, T or KiB, MiB, GiB, TiB\n"
    "                  (powers of 1,024) or KB, MB, GB, TB (powers of 1,000); unlimited, to\n"
    "                  standard output or a FIFO, runs until the reader goes away\n"
    "  --block N       bytes per C_GenerateRandom call, 1 to 1M (default 1,024)\n"
    "  --sessions N    sessions drawing at once, each on its own thread, 1 to 64 (default 1);\n"
    "                  the sample then interleaves their draws, block by block\n"
    "  --record PATH   write a JSON record of the run there: tool, command line, host, module,\n"
    "                  slot, token, the sample's size and SHA-256, times, status\n"
    "  --check         check the token's output as it arrives, and stop at bytes that are not\n"
    "                  random (unfilled, repeated, stuck, restart repeat): status 5\n"
    "  --restarts N    draw N rows of --bytes each, the module and sessions started afresh for\n"
    "                  each (SP 800-90B's restart data), 1 to 1,000,000\n"
    "  --module PATH   the PKCS#11 module to load (not in a setuid or setgid copy)\n"
    "  -q, --quiet     no banner, progress or summary: only a failure's line, on standard error\n"
    "  -h, --help      this text\n"
    "  -V, --version   the version\n"
    "\n"
    "The PKCS#11 module is the one --module or PKCS11_MODULE_PATH names, else %s.\n"
    "\n"
    "Exit status:\n"
    "  0    the sample was written (or an unlimited stream's reader went away)\n"
    "  1    no token to draw from: no session, a failed login or start-up, no single\n"
    "       token matching, a token without a random number generator\n"
    "  2    the PKCS#11 module cannot be loaded\n"
    "  3    the sample (or standard output) cannot be written\n"
    "  4    C_GenerateRandom failed\n"
    "  5    the token's output failed a health check (--check)\n"
    "  64   the command line is malformed\n"
    "  255  the module does not speak Cryptoki 2.x\n"
    "\n"
    "See randdump(1).\n";

}  // namespace

void PrintHelp()
{
    std::printf(kUsage, CKHELPER_DEFAULT_MODULE);
}

void PrintVersion()
{
    std::printf("randdump %s\n", CkhelperVersion());
}

int RefuseUsage(const std::string &error)
{
    std::fprintf(stderr, "randdump: %s; see 'randdump --help'\n", error.c_str());
    return kUsageError;
}

}  // namespace randdump

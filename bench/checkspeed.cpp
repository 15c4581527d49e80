// How fast the health checks judge a sample held in memory, on one core: the figure --check
// must reach to keep up with a token. usage: checkspeed [MIB] (default 1,024), the sample's
// bytes drawn from the kernel once and judged in chunks of 1 MiB of 1,024-byte blocks, as
// randdump's writer judges them, at each width this processor has, the widest first (the one
// randdump takes). Prints MiB/s and exits 1 when the widest is below 500 MiB/s.
#include <sys/random.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "evidence/checks.h"

int main(int argc, char **argv)
{
    constexpr std::size_t kChunk = std::size_t{1} << 20;
    constexpr std::size_t kBlock = 1024;
    constexpr double kTarget = 500;
    const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1024;
    // 96 MiB of random bytes, judged over and over: the sample is not what is measured. More than
    // the repeated check remembers, which would otherwise see it come again.
    std::vector<std::byte> bytes(std::size_t{96} << 20);
    for (std::size_t at = 0; at < bytes.size();) {
        const ssize_t got = getrandom(&bytes[at], bytes.size() - at, 0);
        at += got > 0 ? static_cast<std::size_t>(got) : 0;
    }
    bool met = true;
    std::vector<randdump::words::Width> widths = randdump::words::Widths();
    std::reverse(widths.begin(), widths.end());
    for (const randdump::words::Width width : widths) {
        randdump::HealthChecks checks(randdump::HealthChecks::DrawPattern(), kBlock, std::nullopt,
                                      width);
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t chunk = 0; chunk < mib; ++chunk) {
            const std::size_t at = (chunk * kChunk) % bytes.size();
            if (!checks.Feed({std::span(bytes).subspan(at, kChunk), chunk * kChunk, kBlock})) {
                std::fprintf(stderr, "checkspeed: a check failed on random bytes\n");
                return 2;
            }
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double rate = static_cast<double>(mib) / seconds;
        const char *name = randdump::words::Name(width);
        if (width == randdump::words::Widest()) {
            std::printf("health checks, %s: %.0f MiB/s on one core (target at least %.0f)\n", name,
                        rate, kTarget);
            met = rate >= kTarget;
        } else {
            std::printf("health checks, %s: %.0f MiB/s\n", name, rate);
        }
    }
    return met ? 0 : 1;
}

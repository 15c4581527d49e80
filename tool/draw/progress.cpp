#include "draw/progress.h"

#include <unistd.h>

namespace randdump {
namespace {

constexpr auto kInterval = std::chrono::milliseconds(100);
constexpr double kMiB = 1024.0 * 1024.0;

}  // namespace

Progress::Progress(std::FILE *stream, std::optional<std::uint64_t> totalBytes)
    : stream_(stream),
      enabled_(stream != nullptr && isatty(fileno(stream)) == 1),
      totalBytes_(totalBytes),
      start_(Clock::now()),
      lastShown_(start_)
{
}

Progress::~Progress()
{
    Erase();
}

void Progress::Update(std::uint64_t doneBytes)
{
    if (!enabled_) {
        return;
    }
    const Clock::time_point now = Clock::now();
    if (now - lastShown_ < kInterval) {
        return;
    }
    lastShown_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double mib = static_cast<double>(doneBytes) / kMiB;
    const double rate = seconds > 0 ? mib / seconds : 0.0;
    if (totalBytes_) {
        const double percent =
            100.0 * static_cast<double>(doneBytes) / static_cast<double>(*totalBytes_);
        std::fprintf(stream_, "\r%5.1f%%  %9.1f MiB  %7.2f MiB/s", percent, mib, rate);
    } else {
        std::fprintf(stream_, "\r%9.1f MiB  %7.2f MiB/s", mib, rate);
    }
    std::fflush(stream_);
    shown_ = true;
}

void Progress::Erase()
{
    if (shown_) {
        std::fputs("\r\033[K", stream_);
        std::fflush(stream_);
        shown_ = false;
    }
}

}  // namespace randdump

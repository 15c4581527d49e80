#include "sink/signals.h"

#include <linux/limits.h>
#include <pthread.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstring>

namespace randdump {
namespace {

// Read by the signal handler, which can be given nothing else.
// NOLINTBEGIN(cppcoreguidelines-avoid-non-const-global-variables)
std::array<char, PATH_MAX> gPath{};
volatile std::sig_atomic_t gArmed = 0;
// NOLINTEND(cppcoreguidelines-avoid-non-const-global-variables)

constexpr std::array kStopSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void OnStop(int signal)
{
    if (gArmed != 0) {
        unlink(gPath.data());
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

sigset_t StopSignals()
{
    sigset_t set{};
    sigemptyset(&set);
    for (const int signal : kStopSignals) {
        sigaddset(&set, signal);
    }
    return set;
}

}  // namespace

void InstallSignalHandlers()
{
    struct sigaction action {};
    action.sa_handler = OnStop;
    sigfillset(&action.sa_mask);
    for (const int signal : kStopSignals) {
        sigaction(signal, &action, nullptr);
    }
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
}

void RemoveOnSignal(const std::string &path)
{
    gArmed = 0;
    const std::size_t length = std::min(path.size(), gPath.size() - 1);
    std::memcpy(gPath.data(), path.data(), length);
    gPath.at(length) = '\0';
    gArmed = path.size() < gPath.size() ? 1 : 0;
}

void ForgetOnSignal()
{
    gArmed = 0;
}

StopSignalsHeld::StopSignalsHeld()
{
    const sigset_t stop = StopSignals();
    pthread_sigmask(SIG_BLOCK, &stop, &saved_);
}

StopSignalsHeld::~StopSignalsHeld()
{
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}

}  // namespace randdump

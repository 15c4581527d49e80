#include "sink/signals.h"

#include <fcntl.h>
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
std::array<char, NAME_MAX + 1> gName{};
volatile std::sig_atomic_t gDirectoryFd = -1;
volatile std::sig_atomic_t gArmed = 0;
// NOLINTEND(cppcoreguidelines-avoid-non-const-global-variables)

constexpr std::array kStopSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void OnStop(int signal)
{
    if (gArmed != 0) {
        unlinkat(gDirectoryFd, gName.data(), 0);
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

void RemoveOnSignal(int directoryFd, const std::string &name)
{
    gArmed = 0;
    const std::size_t length = std::min(name.size(), gName.size() - 1);
    std::memcpy(gName.data(), name.data(), length);
    gName.at(length) = '\0';
    gDirectoryFd = directoryFd;
    gArmed = name.size() < gName.size() ? 1 : 0;
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

#include "sink/signals.h"

#include <fcntl.h>
#include <linux/limits.h>
#include <pthread.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace randdump {
namespace {

// A file to remove, in a directory held open.
struct Named {
    std::array<char, NAME_MAX + 1> name;
    volatile std::sig_atomic_t directoryFd;
    volatile std::sig_atomic_t armed;
};

// Read by the signal handler, which can be given nothing else: the sample's file and the
// record's.
// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
std::array<Named, 2> gFiles{};

// The first stopping signal, which the run ends on.
// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
volatile std::sig_atomic_t gStop = 0;

constexpr std::array kStopSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void OnStop(int signal)
{
    if (gStop == 0) {
        gStop = signal;
        return;
    }
    for (const Named &file : gFiles) {
        if (file.armed != 0) {
            unlinkat(file.directoryFd, file.name.data(), 0);
        }
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

int StopSignal()
{
    return gStop;
}

const char *SignalName(int signal)
{
    switch (signal) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        case SIGQUIT:
            return "SIGQUIT";
        default:
            return "a signal";
    }
}

void EndBySignal(int signal)
{
    std::signal(signal, SIG_DFL);
    sigset_t set{};
    sigemptyset(&set);
    sigaddset(&set, signal);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    std::raise(signal);
    std::_Exit(128 + signal);
}

int RemoveOnSignal(int directoryFd, const std::string &name)
{
    for (int slot = 0; slot < static_cast<int>(gFiles.size()); ++slot) {
        Named &file = gFiles.at(static_cast<std::size_t>(slot));
        if (file.armed == 0 && name.size() < file.name.size()) {
            std::memcpy(file.name.data(), name.c_str(), name.size() + 1);
            file.directoryFd = directoryFd;
            file.armed = 1;
            return slot;
        }
    }
    return -1;
}

void ForgetOnSignal(int slot)
{
    if (slot >= 0) {
        gFiles.at(static_cast<std::size_t>(slot)).armed = 0;
    }
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

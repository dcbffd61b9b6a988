#include "app/signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "app/admin.h"

namespace skirmish {
namespace {

extern "C" void OnStopSignal(int) { NetRequestStop(); }

volatile sig_atomic_t reloadAsked = 0;
int reloadPipe[2] = {-1, -1};

// Only what a signal handler may do: note the request, poke the pipe.
extern "C" void OnReloadSignal(int)
{
    int saved = errno;
    reloadAsked = 1;
    char byte = 1;
    [[maybe_unused]] ssize_t written = write(reloadPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

void InstallStopSignals()
{
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A log reader that goes away must not take the game down with it.
    std::signal(SIGPIPE, SIG_IGN);
    // A server put in the background of a shell must not be stopped by reading its
    // terminal for commands: the read fails instead, and commands end there.
    std::signal(SIGTTIN, SIG_IGN);
}

void InstallReloadSignal()
{
    if (reloadPipe[0] < 0 && pipe2(reloadPipe, O_NONBLOCK | O_CLOEXEC) != 0)
        return;
    struct sigaction action {};
    action.sa_handler = OnReloadSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGHUP, &action, nullptr);
}

bool TakeReloadRequest()
{
    char bytes[64];
    while (reloadPipe[0] >= 0 && read(reloadPipe[0], bytes, sizeof bytes) > 0) {
    }
    if (!reloadAsked)
        return false;
    reloadAsked = 0;
    return true;
}

Wake ReloadWake() { return {reloadPipe[0], false, (uint64_t{1} << 62) - 1}; }

void StartSignals(Admin& admin)
{
    InstallStopSignals();
    InstallReloadSignal();
    admin.reloadWhen(TakeReloadRequest, ReloadWake());
}

} // namespace skirmish

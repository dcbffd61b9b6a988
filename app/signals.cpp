#include "app/signals.h"

#include <csignal>

#include "net/server/net.h"

namespace skirmish {
namespace {

extern "C" void OnStopSignal(int) { NetRequestStop(); }

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

} // namespace skirmish

#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <istream>
#include <optional>
#include <string>
#include <ostream>

#include "app/questions.h"
#include "app/recorder.h"
#include "app/server_options.h"
#include "net/server/net.h"

namespace skirmish {

// "ServerQuit" to every client, then the host closed so that it reaches them. Again
// after that, nothing happens: the process's exit does it too, for any other end.
void SayServerQuit();

// What start-up reads from outside, replaceable in tests.
struct ServerEnvironment {
    std::istream& in;
    ServerOptions options = {};
    // Once the questions are answered, operators' commands come from in and then
    // from this descriptor (-1: from in alone).
    int commandFd = -1;
    // Seconds since 1970 UTC; empty: the system's.
    std::function<int64_t()> calendarTime = {};
    // Milliseconds since 1970 UTC, for the names and headers of recordings; empty: the system's.
    std::function<int64_t()> wallMs = {};
    // Waits for one key after a failed host; lineEndPending as the answers left it.
    std::function<void(std::istream&, bool lineEndPending)> pause;
    // Once hosting ends: tells the clients and closes the host; empty: SayServerQuit().
    std::function<void()> farewell = {};
};

// Start-up, the main loop and teardown. When hosting ends, the clients hear of it
// (farewell) before the fleet manager's sidecar is waited for, at most a few seconds.
// Returns 0 when hosting ran to its end; 1 when the host could not be opened or
// start-up cannot finish (a malformed ban list, input ended at a prompt, the level
// does not fit in memory, or the operators' socket cannot be opened).
int RunServer(ServerEnvironment& environment);

// "Press any key to continue . . . ", then one key press on a terminal, else one byte:
// the byte after the pending line end, when one is pending (the Enter after the last
// typed answer is no key press).
void PauseForKey(std::istream& in, bool lineEndPending);

} // namespace skirmish

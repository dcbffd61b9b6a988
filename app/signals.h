#pragma once

#include "net/server/net.h"

namespace skirmish {
class Admin;
}

namespace skirmish {

// SIGINT and SIGTERM end hosting as if the host had closed: the loop ends and
// the normal teardown and exit broadcast follow. A closed console pipe is ignored.
void InstallStopSignals();

// SIGHUP asks for the ban file to be read again. The handler only notes the request
// and wakes the loop's wait through ReloadWake(); the loop takes it at its next pass.
void InstallReloadSignal();
// True once for any number of SIGHUPs since the last take.
bool TakeReloadRequest();
Wake ReloadWake();

// Once the host is open: SIGINT and SIGTERM stop the loop, SIGHUP has the operators'
// side read the bans again.
void StartSignals(Admin& admin);

} // namespace skirmish

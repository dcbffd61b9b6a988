#pragma once

namespace skirmish {

// SIGINT and SIGTERM end hosting as if the host had closed: the loop ends and
// the normal teardown and exit broadcast follow. A closed console pipe is ignored.
void InstallStopSignals();

} // namespace skirmish

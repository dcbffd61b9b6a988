#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>

#include "net/ops/agones.h"

namespace skirmish {

// How often an idle loop still wakes to beat, so that health goes out every
// AgonesSchedule::kHealthEveryMs while the loop runs.
constexpr int32_t kFleetBeatMs = 1000;

// The port of the Agones sidecar from AGONES_SDK_HTTP_PORT's text (null or empty:
// no fleet manager, 0). Returns the exit status when the text is no port, having said why.
std::optional<int> ReadFleetPort(const char* text, uint16_t& port, std::ostream& err);

// The link to the sidecar once hosting, told that the match is ready; null without one.
std::unique_ptr<AgonesLink> StartFleetLink(uint16_t port);

// The loop's beat, with the counts the fleet manager labels the match with.
void BeatFleet(AgonesLink& fleet);

// Asks this host's server on port for /healthz: 0 when it answers 200, else 1.
int RunHealthCheck(uint16_t port, std::ostream& out);

} // namespace skirmish

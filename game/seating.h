#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "game/level.h"
#include "game/outbox.h"

namespace skirmish {

// A join: logs it, greets the new player and seats it in the slot of its id,
// dead and unnamed, with a clone of a random catalogue weapon made at now.
void SeatPlayer(Level& level, int id, std::string_view address, int32_t now, Outbox& out);

// A leave: logs it, marks the slot not connected (the rest of the record stays)
// and tells every client.
void ReleasePlayer(Level& level, int id, Outbox& out);

bool NobodyConnected(const Level& level);

// Writes, for each player, how many of its console lines were withheld in a second now over.
void ReportWithheldLines(Level& level, int32_t now);
// Milliseconds until the next such report falls due; nothing when none is pending.
std::optional<int32_t> MsUntilWithheldLinesReport(const Level& level, int32_t now);

} // namespace skirmish

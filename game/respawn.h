#pragma once

#include <cstdint>

#include "game/level.h"
#include "game/outbox.h"

namespace skirmish {

// Whether the player waits for the automatic respawn (connected and dead).
inline bool WaitsToRespawn(const Player& player) { return player.connected && player.dead; }

// Brings back every waiting player whose delay has run out at now, at a random
// spot on the map with a fresh random catalogue weapon. True when anyone came back.
bool RespawnDeadPlayers(Level& level, int32_t now, Outbox& out);

} // namespace skirmish

#pragma once

#include "world/level.h"

namespace skirmish {

// Whole seconds a dead player waits before coming back on its own: more than 2.
constexpr int32_t kRespawnDelayMs = 3000;

// Brings back every connected dead player whose delay has run out, at a random
// spot on the map with a fresh random catalogue weapon.
void RespawnDeadPlayers(Level& level);

} // namespace skirmish

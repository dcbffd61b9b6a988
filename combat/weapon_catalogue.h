#pragma once

#include "world/level.h"

namespace skirmish {

// Fills every catalogue entry with a random InstaWeapon and logs one line per weapon.
void GenerateWeapons(Level& level);

} // namespace skirmish

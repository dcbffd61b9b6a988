#pragma once

#include "world/level.h"

namespace skirmish {

// Fills every catalogue entry with a random InstaWeapon and logs one line per weapon.
void GenerateWeapons(Level& level);

// A new weapon cloned from a randomly drawn catalogue entry (one draw); none from an
// empty catalogue, without a draw.
std::unique_ptr<Weapon> CloneRandomCatalogueWeapon(const EntityTables& entities);

} // namespace skirmish

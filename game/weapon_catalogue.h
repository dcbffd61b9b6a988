#pragma once

#include "game/level.h"

namespace skirmish {

// Fills every catalogue entry with a random InstaWeapon made at now and logs one line per weapon.
void GenerateWeapons(Level& level, int32_t now);

// A new weapon cloned at now from a randomly drawn catalogue entry (one draw); none
// from an empty catalogue, without a draw.
std::unique_ptr<Weapon> CloneRandomCatalogueWeapon(const EntityTables& entities, int32_t now);

} // namespace skirmish

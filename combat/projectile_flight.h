#pragma once

#include <list>

#include "world/level.h"

namespace skirmish {

// Advances every projectile one fixed step, oldest first, telling every client each new position.
void MoveProjectiles(Level& level);

// Removes expired projectiles and applies the ones inside a player's hit box.
void CheckProjectiles(Level& level);

// Gives the id back, tells every client and unlinks the record; returns the position after it.
std::list<Projectile>::iterator EraseProjectile(std::list<Projectile>::iterator position, EntityTables& entities);

// Whole milliseconds after its creation at which a projectile of this lifetime
// has expired: the first d with d / 1000 > lifetime in float.
int32_t ExpiryDelayMs(float lifetime);

} // namespace skirmish

#pragma once

#include <cstdint>

#include "game/level.h"
#include "game/outbox.h"

namespace skirmish {

// What a projectile adds to x and to y each movement tick, fixed at its creation.
struct ProjectileStep {
    double dx = 0;
    double dy = 0;
};
ProjectileStep StepOf(const Projectile& projectile);

// What a client that flies the projectile itself needs: its step, and the tick of its
// next step (the next tick the level takes).
FlightNote FlightOf(const Projectile& projectile, const EntityTables& entities);

// Advances every projectile one fixed step, oldest first, telling every client each new position.
void MoveProjectiles(Level& level, Outbox& out);

// Removes projectiles expired at now and applies the ones inside a player's hit box.
void CheckProjectiles(Level& level, int32_t now, Outbox& out);

// Whole milliseconds after its creation at which a projectile of this lifetime
// has expired: the first d with d / 1000 > lifetime in float.
int32_t ExpiryDelayMs(float lifetime);

// The projectile's own expiry delay, worked out once.
inline int32_t ExpiryDelayMs(const Projectile& projectile)
{
    return projectile.expiryDelayMs >= 0 ? projectile.expiryDelayMs : ExpiryDelayMs(projectile.lifetime);
}

} // namespace skirmish

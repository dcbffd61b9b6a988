#include "game/flight.h"

#include <cmath>
#include <limits>

#include "game/hit_index.h"
#include "game/projectile_ids.h"
#include "game/timers.h"
#include "protocol/messages.h"
#include "protocol/version3.h"

namespace skirmish {
namespace {

void ApplyHit(Player& victim, const Projectile& projectile, int32_t now, Outbox& out)
{
    int64_t health = static_cast<int64_t>(victim.health) - projectile.damage;
    victim.health = static_cast<int32_t>(std::max<int64_t>(health, std::numeric_limits<int32_t>::min()));
    if (victim.health < 0) {
        victim.dead = true;
        victim.deathTime = now;
        out.toAll(message::Dead(victim.id, projectile.owner));
    } else {
        out.toPlayer(victim.id, message::Health(victim.health));
    }
}

// The id is back in the pool before any client hears of the removal.
// A client that flies projectiles itself is told the last tick this one stepped.
std::list<Projectile>::iterator EraseProjectile(EntityTables& entities, std::list<Projectile>::iterator position,
                                                Outbox& out)
{
    ReleaseProjectileId(position->id);
    out.toAll(message::ProjDelete(position->id).withFlight(FlightNote{entities.movementTicks}));
    return entities.projectiles.erase(position);
}

} // namespace

ProjectileStep StepOf(const Projectile& projectile)
{
    // The factor is 3.14159, not full-precision pi: clients reproduce this flight.
    double heading = (projectile.angle - 90.0) * 3.14159 / 180.0;
    return {std::cos(heading) * projectile.speed, std::sin(heading) * projectile.speed};
}

FlightNote FlightOf(const Projectile& projectile, const EntityTables& entities)
{
    ProjectileStep step = StepOf(projectile);
    int32_t next = static_cast<int32_t>(static_cast<uint32_t>(entities.movementTicks) + 1);
    return FlightNote{next, true, step.dx, step.dy};
}

void MoveProjectiles(Level& level, Outbox& out)
{
    EntityTables& entities = level.entities;
    entities.movementTicks = static_cast<int32_t>(static_cast<uint32_t>(entities.movementTicks) + 1);
    for (Projectile& projectile : entities.projectiles) {
        ProjectileStep step = StepOf(projectile);
        projectile.x = v3::Step(projectile.x, step.dx);
        projectile.y = v3::Step(projectile.y, step.dy);
        out.toAll(message::ProjMove(projectile.id, projectile.x, projectile.y));
    }
    out.tickTaken(entities.movementTicks);
}

void CheckProjectiles(Level& level, int32_t now, Outbox& out)
{
    auto& projectiles = level.entities.projectiles;
    HitIndex index;
    index.build(level.entities);
    auto position = projectiles.begin();
    while (position != projectiles.end()) {
        if (position->expiryDelayMs < 0)
            position->expiryDelayMs = ExpiryDelayMs(position->lifetime);
        // Expiry wins over a hit: an expired projectile is not tested at all.
        if (Due(now, position->creationTime, position->expiryDelayMs)) {
            position = EraseProjectile(level.entities, position, out);
            continue;
        }
        if (Player* victim = index.firstHit(*position)) {
            ApplyHit(*victim, *position, now, out);
            position = EraseProjectile(level.entities, position, out);
            continue;
        }
        ++position;
    }
}

int32_t ExpiryDelayMs(float lifetime)
{
    if (std::isnan(lifetime) || lifetime >= 2147483.0f)
        return std::numeric_limits<int32_t>::max();
    if (lifetime < 0)
        return 0;
    auto expiredAfter = [&](int64_t ms) { return lifetime < static_cast<float>(ms / 1000.0); };
    auto delay = static_cast<int64_t>(std::floor(lifetime * 1000.0));
    while (!expiredAfter(delay))
        ++delay;
    while (delay > 0 && expiredAfter(delay - 1))
        --delay;
    return static_cast<int32_t>(delay);
}

} // namespace skirmish

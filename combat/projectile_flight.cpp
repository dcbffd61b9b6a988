#include "combat/projectile_flight.h"

#include <cmath>
#include <limits>

#include "combat/hit_index.h"
#include "combat/projectile_ids.h"
#include "core/clock.h"
#include "net/messages.h"

namespace skirmish {
namespace {

bool Expired(const Projectile& projectile, int32_t now)
{
    auto elapsed = static_cast<float>(ElapsedMs(now, projectile.creationTime) / 1000.0);
    return projectile.lifetime < elapsed;
}

void ApplyHit(Player& victim, const Projectile& projectile)
{
    int64_t health = static_cast<int64_t>(victim.health) - projectile.damage;
    victim.health = static_cast<int32_t>(std::max<int64_t>(health, std::numeric_limits<int32_t>::min()));
    if (victim.health < 0) {
        victim.dead = true;
        victim.deathTime = ReadClock();
        BroadcastDead(victim.id, projectile.owner);
    } else {
        SendHealth(victim.id, victim.health);
    }
}

} // namespace

void MoveProjectiles(Level& level)
{
    for (Projectile& projectile : level.entities.projectiles) {
        // The factor is 3.14159, not full-precision pi: clients reproduce this flight.
        double heading = (projectile.angle - 90.0) * 3.14159 / 180.0;
        projectile.x = static_cast<float>(projectile.x + std::cos(heading) * projectile.speed);
        projectile.y = static_cast<float>(projectile.y + std::sin(heading) * projectile.speed);
        BroadcastProjMove(projectile.id, projectile.x, projectile.y);
    }
}

void CheckProjectiles(Level& level)
{
    EntityTables& entities = level.entities;
    HitIndex index;
    index.build(entities);
    auto position = entities.projectiles.begin();
    while (position != entities.projectiles.end()) {
        if (Expired(*position, ReadClock())) {
            // Expiry wins over a hit: an expired projectile is not tested at all.
            ReleaseProjectileId(position->id);
            BroadcastProjDelete(position->id);
            position = entities.projectiles.erase(position);
            continue;
        }
        if (Player* victim = index.firstHit(*position)) {
            ApplyHit(*victim, *position);
            position = EraseProjectile(position, entities);
            continue;
        }
        ++position;
    }
}

std::list<Projectile>::iterator EraseProjectile(std::list<Projectile>::iterator position, EntityTables& entities)
{
    // The id is back in the pool before any client hears of the removal.
    ReleaseProjectileId(position->id);
    BroadcastProjDelete(position->id);
    return entities.projectiles.erase(position);
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

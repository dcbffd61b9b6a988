#include "game/flight.h"

#include <cmath>
#include <limits>

#include "game/hit_index.h"
#include "game/projectile_ids.h"
#include "game/timers.h"
#include "protocol/messages.h"

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
std::list<Projectile>::iterator EraseProjectile(std::list<Projectile>& projectiles,
                                                std::list<Projectile>::iterator position, Outbox& out)
{
    ReleaseProjectileId(position->id);
    out.toAll(message::ProjDelete(position->id));
    return projectiles.erase(position);
}

} // namespace

void MoveProjectiles(Level& level, Outbox& out)
{
    for (Projectile& projectile : level.entities.projectiles) {
        // The factor is 3.14159, not full-precision pi: clients reproduce this flight.
        double heading = (projectile.angle - 90.0) * 3.14159 / 180.0;
        projectile.x = static_cast<float>(projectile.x + std::cos(heading) * projectile.speed);
        projectile.y = static_cast<float>(projectile.y + std::sin(heading) * projectile.speed);
        out.toAll(message::ProjMove(projectile.id, projectile.x, projectile.y));
    }
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
            position = EraseProjectile(projectiles, position, out);
            continue;
        }
        if (Player* victim = index.firstHit(*position)) {
            ApplyHit(*victim, *position, now, out);
            position = EraseProjectile(projectiles, position, out);
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

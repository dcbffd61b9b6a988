#include "game/insta_weapon.h"

#include "core/random.h"

namespace skirmish {

InstaWeapon::InstaWeapon(int32_t damage, float period, int32_t numLines, float spread, float falloff, int32_t now)
    : ProjWeapon(damage, period, now), numLines(numLines), spread(spread), falloff(falloff)
{
}

std::vector<Projectile> InstaWeapon::fire(const IdSource& idSource, float x, float y, float angle, int32_t owner,
                                          int32_t now)
{
    // The moment of the shot restarts the cooldown, whatever canFire did before.
    lastFireTicks = now;
    std::vector<Projectile> shot;
    if (numLines > 0)
        shot.reserve(static_cast<size_t>(numLines));
    for (int32_t line = 0; line < numLines; ++line) {
        // One draw, then one id: the order decides which id gets which direction.
        int32_t draw = Random();
        auto offset = static_cast<float>((draw / 32767.0) * spread - spread * 0.5);
        Projectile projectile;
        projectile.id = idSource();
        projectile.angle = static_cast<float>(static_cast<double>(offset) + angle);
        projectile.creationTime = now;
        projectile.damage = damage;
        projectile.speed = ProjectileSpeed;
        projectile.x = x;
        projectile.y = y;
        projectile.lifetime = falloff;
        projectile.owner = owner;
        shot.push_back(projectile);
    }
    return shot;
}

// The copy starts cooling at now; the original is untouched.
std::unique_ptr<Weapon> InstaWeapon::clone(int32_t now) const
{
    return std::make_unique<InstaWeapon>(damage, period, numLines, spread, falloff, now);
}

} // namespace skirmish

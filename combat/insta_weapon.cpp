#include "combat/insta_weapon.h"

#include "core/clock.h"
#include "core/random.h"

namespace skirmish {

InstaWeapon::InstaWeapon(int32_t damage, float period, int32_t numLines, float spread, float falloff)
    : ProjWeapon(damage, period), numLines(numLines), spread(spread), falloff(falloff)
{
}

std::vector<Projectile> InstaWeapon::fire(const IdSource& idSource, float x, float y, float angle, int32_t owner)
{
    // The moment of the shot restarts the cooldown, whatever canFire did before.
    lastFireTicks = ReadClock();
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
        projectile.creationTime = ReadClock();
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

std::unique_ptr<Weapon> InstaWeapon::clone() const
{
    // Construction takes a fresh clock reading: the copy starts cooling, the original is untouched.
    return std::make_unique<InstaWeapon>(damage, period, numLines, spread, falloff);
}

} // namespace skirmish

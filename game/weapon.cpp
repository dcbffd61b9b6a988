#include "game/weapon.h"

#include "core/clock.h"

namespace skirmish {

Weapon::Weapon(int32_t damage, float period, int32_t now) : damage(damage), period(period), lastFireTicks(now) {}

bool Weapon::canFire(int32_t now)
{
    auto elapsed = static_cast<float>(ElapsedMs(now, lastFireTicks) / 1000.0);
    if (!(elapsed > period))
        return false;
    lastFireTicks = now;
    return true;
}

} // namespace skirmish

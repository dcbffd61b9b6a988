#include "combat/weapon.h"

#include "core/clock.h"

namespace skirmish {

Weapon::Weapon(int32_t damage, float period) : damage(damage), period(period), lastFireTicks(ReadClock()) {}

bool Weapon::canFire()
{
    auto elapsed = static_cast<float>(ElapsedMs(ReadClock(), lastFireTicks) / 1000.0);
    if (!(elapsed > period))
        return false;
    lastFireTicks = ReadClock();
    return true;
}

} // namespace skirmish

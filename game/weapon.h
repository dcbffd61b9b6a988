#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "game/projectile.h"

namespace skirmish {

// Hands out one projectile id per call.
using IdSource = std::function<int32_t()>;

// A weapon's cooldown and the shape of its shots. Exactly one holder owns each
// weapon: a catalogue entry or a player slot.
class Weapon {
public:
    Weapon(int32_t damage, float period, int32_t now);
    virtual ~Weapon() = default;

    // True when strictly more than period seconds have passed since the last shot;
    // a true answer restarts the cooldown.
    bool canFire(int32_t now);

    // Makes the projectiles of one shot at the time now, in order; the caller takes them over.
    virtual std::vector<Projectile> fire(const IdSource& idSource, float x, float y, float angle, int32_t owner,
                                         int32_t now) = 0;
    // A new weapon with the same settings, its cooldown starting at now.
    virtual std::unique_ptr<Weapon> clone(int32_t now) const = 0;
    virtual float getSpread() const { return 0.0f; }

    int32_t damage;
    float period;          // seconds
    int32_t lastFireTicks; // clock reading in milliseconds: of creation, then of the last shot

protected:
    Weapon(const Weapon&) = default;
    Weapon& operator=(const Weapon&) = default;
};

// Weapons whose shots are projectiles; every weapon of the game is one.
class ProjWeapon : public Weapon {
public:
    using Weapon::Weapon;
};

} // namespace skirmish

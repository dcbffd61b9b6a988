#pragma once

#include "game/weapon.h"

namespace skirmish {

// The one concrete weapon: numLines projectiles per shot, each turned by a
// random offset within a cone of spread degrees, each living falloff seconds.
class InstaWeapon final : public ProjWeapon {
public:
    InstaWeapon(int32_t damage, float period, int32_t numLines, float spread, float falloff, int32_t now);

    std::vector<Projectile> fire(const IdSource& idSource, float x, float y, float angle, int32_t owner,
                                 int32_t now) override;
    std::unique_ptr<Weapon> clone(int32_t now) const override;
    float getSpread() const override { return spread; }

    int32_t numLines;
    float spread;  // degrees, full width of the cone
    float falloff; // seconds each projectile lives
};

} // namespace skirmish

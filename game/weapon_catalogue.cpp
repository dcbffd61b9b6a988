#include "game/weapon_catalogue.h"

#include "game/insta_weapon.h"
#include "core/console.h"
#include "core/random.h"

namespace skirmish {
namespace {

double RandomFraction() { return Random() / 32767.0; }

// Each value is narrowed to float where the recipe says so; later steps use the
// narrowed value, and the operation order decides the last bits.
std::unique_ptr<InstaWeapon> DrawWeapon(int32_t now)
{
    int32_t damage = Random() % 85 + 5;
    float period;
    float spread;
    if (Random() % 2 == 0) {
        // Cooldown first: harder-hitting weapons fire more slowly; spread follows the cooldown.
        double f = RandomFraction();
        auto u = static_cast<float>(0.625 / (90.0 / damage));
        period = static_cast<float>(f * 0.625 + u);
        auto v = static_cast<float>((15.0 / (1.25 / period)) * 0.5);
        spread = static_cast<float>(Random() % 15 + static_cast<double>(v));
    } else {
        // Spread first: weaker weapons scatter more; the cooldown follows the spread.
        auto v = static_cast<float>((90.0 / damage) * 15.0);
        spread = static_cast<float>(Random() % 15 + static_cast<double>(v));
        double f = RandomFraction();
        auto u = static_cast<float>(0.625 / (30.0 / spread));
        period = static_cast<float>(f * 0.625 + u);
    }
    auto w = static_cast<float>(period * 0.1);
    auto falloff = static_cast<float>((Random() % 29 + 1) * static_cast<double>(w));
    int32_t numLines = 1;
    if (falloff < 0.5f) {
        // Short-lived projectiles come in bursts of 3 to 20.
        auto g = static_cast<float>(falloff * 6.0);
        auto n = static_cast<int32_t>((Random() % 5 + 3) * static_cast<double>(g));
        numLines = n < 3 ? 3 : n;
    }
    return std::make_unique<InstaWeapon>(damage, period, numLines, spread, falloff, now);
}

} // namespace

void GenerateWeapons(Level& level, int32_t now)
{
    auto& catalogue = level.entities.weapons;
    for (size_t i = 0; i < catalogue.size(); ++i) {
        auto weapon = DrawWeapon(now);
        const InstaWeapon& w = *weapon;
        catalogue[i] = std::move(weapon);
        ConsoleLine("Generated Weapon - Damage: ", w.damage, ", Period: ", w.period, ", numLines: ", w.numLines,
                    ", Spread: ", w.spread, ", Falloff: ", w.falloff);
    }
}

std::unique_ptr<Weapon> CloneRandomCatalogueWeapon(const EntityTables& entities, int32_t now)
{
    if (entities.weapons.empty())
        return nullptr;
    const auto& pick = entities.weapons[static_cast<size_t>(Random()) % entities.weapons.size()];
    return pick ? pick->clone(now) : nullptr;
}

} // namespace skirmish

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "game/hit_index.h"

namespace skirmish::testing {
namespace {

// The index must answer exactly what a walk over every slot in order answers; a
// pruning mistake at a cell edge, for negative positions or near the 32-bit limits
// would silently lose or misplace hits.
TEST(HitIndex, answers_like_a_walk_over_every_slot_in_order)
{
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> coin(0, 9);
    const float centres[] = {0.0f, -40.0f, 39.99f, 40.0f, -0.5f, 2147483520.0f, -2147483648.0f};
    for (int world = 0; world < 300; ++world) {
        EntityTables entities(12, 1);
        float centre = centres[world % std::size(centres)];
        std::uniform_real_distribution<float> near(-70.0f, 70.0f);
        for (int slot = 0; slot < 12; ++slot) {
            Player& p = entities.players[static_cast<size_t>(slot)];
            p.id = slot;
            p.connected = coin(random) != 0;
            p.dead = coin(random) == 0;
            p.x = centre + std::round(near(random) * (coin(random) < 3 ? 1.0f : 10.0f)) / 10.0f;
            p.y = centre + near(random);
        }
        HitIndex index;
        index.build(entities);
        for (int shot = 0; shot < 40; ++shot) {
            Projectile projectile;
            projectile.owner = coin(random);
            projectile.x = centre + near(random);
            projectile.y = centre + std::round(near(random));
            auto walk = std::find_if(entities.players.begin(), entities.players.end(), [&](const Player& p) {
                return p.connected && !p.dead && p.id != projectile.owner && InHitBox(p, projectile);
            });
            Player* expected = walk == entities.players.end() ? nullptr : &*walk;
            Player* got = index.firstHit(projectile);
            ASSERT_EQ(got, expected) << "world " << world << " shot at " << projectile.x << "," << projectile.y;
            if (got && coin(random) < 3)
                got->dead = true; // a kill in the middle of a pass
        }
    }
}

} // namespace
} // namespace skirmish::testing

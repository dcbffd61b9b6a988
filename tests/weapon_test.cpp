#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/random.h"
#include "game/insta_weapon.h"
#include "game/projectile_ids.h"

namespace skirmish {
namespace {

using ::testing::ElementsAre;

TEST(Weapons, no_spread_keeps_the_angle_and_no_lines_still_resets_the_cooldown)
{
    ScriptedRandom random{123, 4567};
    ScopedRandom useRandom(random);
    InstaWeapon straight(1, 0.1f, 2, 0.0f, 1.0f, 0);
    for (const Projectile& p : straight.fire(AllocateProjectileId, 0, 0, 33.3f, 1, 0))
        EXPECT_EQ(p.angle, 33.3f);

    InstaWeapon empty(1, 0.1f, 0, 5.0f, 1.0f, 0);
    int32_t idsBefore = TheProjectileIdPool().nextId;
    EXPECT_TRUE(empty.fire(AllocateProjectileId, 0, 0, 0, 1, 250).empty());
    EXPECT_EQ(empty.lastFireTicks, 250);
    EXPECT_EQ(random.remaining(), 0u);
    EXPECT_FALSE(random.ranDry());
    EXPECT_EQ(TheProjectileIdPool().nextId, idsBefore);
}

TEST(Weapons, cooldown_is_strict_restarts_on_yes_and_clones_start_cooling)
{
    InstaWeapon weapon(10, 0.5f, 1, 3.0f, 1.0f, 1000);
    EXPECT_FALSE(weapon.canFire(1000)); // fresh: cooling
    EXPECT_FALSE(weapon.canFire(1500)); // 0.5 is not more than 0.5
    EXPECT_EQ(weapon.lastFireTicks, 1000);
    EXPECT_TRUE(weapon.canFire(1501));
    EXPECT_FALSE(weapon.canFire(1501));
    EXPECT_EQ(weapon.lastFireTicks, 1501);

    std::unique_ptr<Weapon> copy = weapon.clone(11501);
    EXPECT_FALSE(copy->canFire(11501));
    EXPECT_EQ(copy->getSpread(), 3.0f);
    EXPECT_TRUE(weapon.canFire(11501)); // the original stays ready
}

TEST(IdPool, fresh_ids_count_up_and_released_ones_come_back_oldest_first)
{
    TheProjectileIdPool() = ProjectileIdPool{};
    std::vector<int32_t> handedOut;
    for (int released : {-1, -1, -1, 1, 0, -1, -1, -1})
        released < 0 ? handedOut.push_back(AllocateProjectileId()) : ReleaseProjectileId(released);
    EXPECT_THAT(handedOut, ElementsAre(0, 1, 2, 1, 0, 3));
    EXPECT_EQ(TheProjectileIdPool().nextId, 4);
}

} // namespace
} // namespace skirmish

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/random.h"
#include "game/insta_weapon.h"
#include "game/projectile_ids.h"

namespace skirmish {
namespace {

using ::testing::ElementsAre;

// Each projectile takes its draw, then its id; the spread is centred on the aim.
TEST(Weapons, fire_draws_then_takes_an_id_per_projectile_and_spreads_around_the_angle)
{
    ScriptedRandom random{0, 32767, 16383};
    ScopedRandom useRandom(random);
    std::vector<size_t> drawsLeftAtEachId;
    int32_t nextId = 40;
    IdSource ids = [&] {
        drawsLeftAtEachId.push_back(random.remaining());
        return nextId++;
    };
    InstaWeapon weapon(7, 0.5f, 3, 10.0f, 2.5f, 5000);
    std::vector<Projectile> shot = weapon.fire(ids, 3, 4, 90, 6, 5100);
    EXPECT_THAT(drawsLeftAtEachId, ElementsAre(2, 1, 0));
    ASSERT_EQ(shot.size(), 3u);
    EXPECT_EQ(std::tuple(shot[0].angle, shot[1].angle, shot[0].id, shot[2].id), std::tuple(85.0f, 95.0f, 40, 42));
    const Projectile& p = shot[1];
    EXPECT_EQ(std::tuple(p.x, p.y, p.lifetime, p.owner, p.damage, p.speed, p.creationTime),
              std::tuple(3.0f, 4.0f, 2.5f, 6, 7, 12.0f, 5100));
    EXPECT_EQ(weapon.lastFireTicks, 5100);
    EXPECT_EQ(weapon.getSpread(), 10.0f);
}

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
    EXPECT_EQ(AllocateProjectileId(), 0);
    EXPECT_EQ(AllocateProjectileId(), 1);
    EXPECT_EQ(AllocateProjectileId(), 2);
    ReleaseProjectileId(1);
    ReleaseProjectileId(0);
    EXPECT_EQ(AllocateProjectileId(), 1);
    EXPECT_EQ(AllocateProjectileId(), 0);
    EXPECT_EQ(AllocateProjectileId(), 3);
    EXPECT_EQ(TheProjectileIdPool().nextId, 4);
}

} // namespace
} // namespace skirmish

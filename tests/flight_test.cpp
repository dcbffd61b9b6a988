#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "game/flight.h"
#include "harness.h"

namespace skirmish::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A projectile made at now, standing still until a tick moves it.
Projectile At(const Game& game, int32_t id, float x, float y, int32_t owner = 0, int32_t damage = 10)
{
    return Projectile{.id = id, .damage = damage, .x = x, .y = y, .lifetime = 1.0f, .owner = owner,
                      .creationTime = game.now};
}

void Check(Game& game) { CheckProjectiles(*game.level, game.now, game.out); }

// One fixed step of 12 along the angle (travel is angle - 90 from +x towards +y, with 3.14159 for pi).
TEST(Flight, one_fixed_step_along_the_angle_is_told_to_everyone)
{
    Game game;
    int watcher = game.seat();
    for (float angle : {90.0f, 180.0f})
        game.level->entities.projectiles.push_back(Projectile{.id = int32_t(angle), .x = 100, .y = 100, .angle = angle});
    game.clear();
    MoveProjectiles(*game.level, game.out);
    EXPECT_THAT(game.received(watcher), ElementsAre("ProjMove 90 112f 100f", "ProjMove 180 100.000015f 112f"));
}

TEST(Flight, expiry_is_strictly_after_the_lifetime_and_skips_the_hit_test)
{
    Game game;
    int victim = game.seatAlive(100, 100);
    auto& list = game.level->entities.projectiles;
    Projectile inBox = At(game, 7, 100, 100, /*owner*/ 0);
    inBox.creationTime = game.now - 1001;
    Projectile survivor = At(game, 8, 500, 500);
    survivor.creationTime = game.now - 1000;
    list.push_back(inBox);
    list.push_back(survivor);
    TheProjectileIdPool().nextId = 9;

    Check(game);
    EXPECT_THAT(game.received(victim), ElementsAre("ProjDelete 7"));
    EXPECT_EQ(game.slot(victim).health, 100);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list.front().id, 8);
    EXPECT_EQ(AllocateProjectileId(), 7); // the expired id went back to the pool
}

// Box edges for a player at x 100.9 (truncated to 100), and truncation toward zero.
TEST(Flight, hit_box_is_open_and_centred_on_the_truncated_position)
{
    struct Case { float playerX, projectileX; bool hit; };
    for (const Case& c : {Case{100.9f, 120.0f, false}, Case{100.9f, 119.99f, true}, Case{100.9f, 80.0f, false},
                          Case{100.9f, 80.01f, true}, Case{-0.5f, 19.99f, true}, Case{-0.5f, -20.0f, false},
                          Case{-0.5f, -19.99f, true}}) {
        Game game;
        int victim = game.seatAlive(c.playerX, 50);
        game.level->entities.projectiles.push_back(At(game, 0, c.projectileX, 50, /*owner*/ 99));
        Check(game);
        EXPECT_EQ(game.slot(victim).health != 100, c.hit) << c.playerX << " vs " << c.projectileX;
    }
}

TEST(Flight, hits_lower_health_then_send_health_or_dead_before_proj_delete)
{
    struct Case { int32_t damage; std::vector<std::string> toVictim; bool dead; };
    for (const Case& c : {Case{10, {"Health 0", "ProjDelete 3"}, false},
                          Case{11, {"Dead 1 2", "ProjDelete 3"}, true}}) {
        Game game;
        int victim = game.seatAlive(100, 100);
        int shooter = game.seatAlive(0, 0);
        game.slot(victim).health = 10;
        game.now += 40;
        game.level->entities.projectiles.push_back(At(game, 3, 101, 99, shooter, c.damage));
        Check(game);
        EXPECT_EQ(game.received(victim), c.toVictim);
        EXPECT_EQ(game.slot(victim).dead, c.dead);
        EXPECT_EQ(game.slot(victim).health, 10 - c.damage);
        if (c.dead) {
            EXPECT_EQ(game.slot(victim).deathTime, game.now);
            EXPECT_THAT(game.received(shooter), ElementsAre("Dead 1 2", "ProjDelete 3"));
        } else {
            EXPECT_THAT(game.received(shooter), ElementsAre("ProjDelete 3")); // "Health" is the victim's alone
        }
        EXPECT_TRUE(game.level->entities.projectiles.empty());
    }
}

TEST(Flight, owner_dead_and_disconnected_slots_are_passed_through_and_the_lower_slot_is_hit)
{
    Game game;
    int owner = game.seatAlive(100, 100);
    int dead = game.seatAlive(100, 100);
    int gone = game.seatAlive(100, 100);
    int lower = game.seatAlive(100, 100);
    int upper = game.seatAlive(100, 100);
    game.slot(dead).dead = true;
    game.slot(dead).deathTime = game.now;
    game.slot(gone).connected = false;
    game.level->entities.projectiles.push_back(At(game, 0, 100, 100, owner));
    Check(game);
    EXPECT_EQ(game.slot(owner).health, 100);
    EXPECT_EQ(game.slot(gone).health, 100);
    EXPECT_EQ(game.slot(lower).health, 90);
    EXPECT_EQ(game.slot(upper).health, 100);
}

// Catches an erase that skips or revisits the projectile after the removed one.
TEST(Flight, after_an_erase_every_other_projectile_is_visited_once_with_its_id_unchanged)
{
    Game game;
    int victim = game.seatAlive(100, 100);
    auto& list = game.level->entities.projectiles;
    list.push_back(At(game, 0, 100, 100));    // hits
    list.push_back(At(game, 1, 100, 100));    // hits too, in the same pass
    list.push_back(At(game, 2, 900, 900));    // misses
    Projectile old = At(game, 3, 900, 900);
    old.creationTime = game.now - 5000; // expires
    list.push_back(old);
    Check(game);
    EXPECT_THAT(game.received(victim), ElementsAre("Health 90", "ProjDelete 0", "Health 80", "ProjDelete 1",
                                                     "ProjDelete 3"));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list.front().id, 2);
}

TEST(Flight, extreme_and_non_finite_positions_never_hit_or_overflow)
{
    Game game;
    const float inf = std::numeric_limits<float>::infinity();
    int edge = game.seatAlive(2147483647.0f, 0);
    int nan = game.seatAlive(std::nanf(""), 0);
    int infinite = game.seatAlive(-inf, 0);
    auto& list = game.level->entities.projectiles;
    list.push_back(At(game, 0, 2147483647.0f, 0));  // inside the saturated box of the edge player
    list.push_back(At(game, 1, std::nanf(""), 0));
    list.push_back(At(game, 2, -inf, 0));
    list.push_back(At(game, 3, -2147483648.0f, 0));
    Check(game);
    EXPECT_EQ(game.slot(edge).health, 90);
    EXPECT_EQ(game.slot(nan).health, 100);
    EXPECT_EQ(game.slot(infinite).health, 100);
    EXPECT_EQ(list.size(), 3u);
}

TEST(Flight, expiry_delay_is_the_first_whole_millisecond_past_the_lifetime)
{
    for (auto [lifetime, delay] : {std::pair{1.0f, 1001}, {0.03125f, 32}, {0.0f, 1}, {0.494444f, 495},
                                   {0.36165f, 362}, {18.9708f, 18971}, {1.3125f, 1313}})
        EXPECT_EQ(ExpiryDelayMs(lifetime), delay) << lifetime;
}

} // namespace
} // namespace skirmish::testing


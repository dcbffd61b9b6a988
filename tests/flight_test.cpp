#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "game/flight.h"
#include "harness.h"

namespace skirmish::testing {
namespace {

using ::testing::ElementsAre;

// A projectile made at now, standing still until a tick moves it.
Projectile At(const Game& game, int32_t id, float x, float y, int32_t owner = 0, int32_t damage = 10)
{
    return Projectile{.id = id, .damage = damage, .x = x, .y = y, .lifetime = 1.0f, .owner = owner,
                      .creationTime = game.now};
}

void Check(Game& game) { CheckProjectiles(*game.level, game.now, game.out); }

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
    // "Health" is the victim's alone; "Dead" goes to everyone.
    struct Case { int32_t damage; std::vector<std::string> toVictim, toShooter; bool dead; };
    for (const Case& c : {Case{10, {"Health 0", "ProjDelete 3"}, {"ProjDelete 3"}, false},
                          Case{11, {"Dead 1 2", "ProjDelete 3"}, {"Dead 1 2", "ProjDelete 3"}, true}}) {
        Game game;
        int victim = game.seatAlive(100, 100);
        int shooter = game.seatAlive(0, 0);
        game.slot(victim).health = 10;
        game.now += 40;
        game.level->entities.projectiles.push_back(At(game, 3, 101, 99, shooter, c.damage));
        Check(game);
        EXPECT_EQ(std::pair(game.received(victim), game.received(shooter)), std::pair(c.toVictim, c.toShooter));
        const Player& hit = game.slot(victim);
        EXPECT_EQ(std::tuple(hit.health, hit.dead, hit.deathTime == game.now), std::tuple(10 - c.damage, c.dead, c.dead));
        EXPECT_TRUE(game.level->entities.projectiles.empty());
    }
}

// Catches an erase that skips or revisits the projectile after the removed one. Expiry
// comes strictly after the lifetime, before the hit test, and gives the id back.
TEST(Flight, after_an_erase_every_other_projectile_is_visited_once_and_expiry_comes_before_the_hit)
{
    Game game;
    int victim = game.seatAlive(100, 100);
    auto& list = game.level->entities.projectiles;
    list.push_back(At(game, 0, 100, 100)); // hits
    list.push_back(At(game, 1, 100, 100)); // hits too, in the same pass
    list.push_back(At(game, 2, 900, 900)); // misses
    Projectile expired = At(game, 3, 100, 100), lastMillisecond = At(game, 4, 900, 900);
    expired.creationTime = game.now - 1001;
    lastMillisecond.creationTime = game.now - 1000;
    list.push_back(expired);
    list.push_back(lastMillisecond);
    TheProjectileIdPool().nextId = 9;
    Check(game);
    EXPECT_THAT(game.received(victim), ElementsAre("Health 90", "ProjDelete 0", "Health 80", "ProjDelete 1",
                                                     "ProjDelete 3"));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(std::pair(list.front().id, list.back().id), std::pair(2, 4));
    EXPECT_THAT((std::vector{AllocateProjectileId(), AllocateProjectileId(), AllocateProjectileId()}), ElementsAre(0, 1, 3));
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


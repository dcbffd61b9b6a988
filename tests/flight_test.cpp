#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "combat/hit_index.h"
#include "combat/projectile_flight.h"
#include "combat/respawn.h"
#include "harness.h"

namespace skirmish::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A projectile made just now, standing still until a tick moves it.
Projectile At(int32_t id, float x, float y, int32_t owner = 0, int32_t damage = 10)
{
    return Projectile{.id = id, .damage = damage, .x = x, .y = y, .lifetime = 1.0f, .owner = owner,
                      .creationTime = ReadClock()};
}

// A pass with no movement tick: only hits, expiry and respawn act.
void PassWithoutTick(ServerHarness& server)
{
    server.loop.tickReference = server.clock.now();
    server.pass();
}

TEST(Flight, one_fixed_step_along_the_angle_with_the_3_14159_factor)
{
    ServerHarness server;
    int watcher = server.join();
    auto& list = server.level->entities.projectiles;
    for (float angle : {90.0f, 180.0f, 0.0f})
        list.push_back(Projectile{.id = static_cast<int32_t>(angle), .x = 100, .y = 100, .angle = angle});
    server.net->clearReceived();
    MoveProjectiles(*server.level);
    NetService(0);

    auto it = list.begin();
    EXPECT_EQ(it->x, 112.0f);
    EXPECT_EQ(it->y, 100.0f + static_cast<float>(std::sin(0.0) * 12));
    ++it;
    EXPECT_GT(it->x, 100.0f); // 3.14159 falls short of pi
    EXPECT_LT(it->x, 100.001f);
    EXPECT_EQ(it->y, 112.0f);
    ++it;
    EXPECT_EQ(it->y, 88.0f);
    ASSERT_EQ(server.received(watcher).size(), 3u);
    EXPECT_EQ(server.received(watcher)[0], "ProjMove 90 112f 100f");
}

TEST(Flight, expiry_is_strictly_after_the_lifetime_and_skips_the_hit_test)
{
    ServerHarness server;
    int victim = server.joinAlive(100, 100);
    auto& list = server.level->entities.projectiles;
    Projectile inBox = At(7, 100, 100, /*owner*/ 0);
    inBox.creationTime = server.clock.now() - 1001;
    Projectile survivor = At(8, 500, 500);
    survivor.creationTime = server.clock.now() - 1000;
    list.push_back(inBox);
    list.push_back(survivor);
    TheProjectileIdPool().nextId = 9;

    PassWithoutTick(server);
    EXPECT_THAT(server.received(victim), ElementsAre("ProjDelete 7"));
    EXPECT_EQ(server.slot(victim).health, 100);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list.front().id, 8);
    EXPECT_EQ(AllocateProjectileId(), 7); // the expired id went back to the pool
}

// Box edges for a player at x 100.9 (truncated to 100), and truncation toward zero.
TEST(Flight, hit_box_is_open_and_centred_on_the_truncated_position)
{
    struct Case {
        float playerX, projectileX;
        bool hit;
    };
    for (const Case& c : {Case{100.9f, 120.0f, false}, Case{100.9f, 119.99f, true}, Case{100.9f, 80.0f, false},
                          Case{100.9f, 80.01f, true}, Case{-0.5f, 19.99f, true}, Case{-0.5f, -20.0f, false},
                          Case{-0.5f, -19.99f, true}}) {
        ServerHarness server;
        int victim = server.joinAlive(c.playerX, 50);
        server.level->entities.projectiles.push_back(At(0, c.projectileX, 50, /*owner*/ 99));
        PassWithoutTick(server);
        EXPECT_EQ(server.slot(victim).health != 100, c.hit) << c.playerX << " vs " << c.projectileX;
    }
}

TEST(Flight, hits_lower_health_then_send_health_or_dead_before_proj_delete)
{
    struct Case {
        int32_t damage;
        std::vector<std::string> toVictim;
        bool dead;
    };
    for (const Case& c : {Case{10, {"Health 0", "ProjDelete 3"}, false},
                          Case{11, {"Dead 1 2", "ProjDelete 3"}, true}}) {
        ServerHarness server;
        int victim = server.joinAlive(100, 100);
        int shooter = server.joinAlive(0, 0);
        server.slot(victim).health = 10;
        server.clock.advance(40);
        server.level->entities.projectiles.push_back(At(3, 101, 99, shooter, c.damage));
        PassWithoutTick(server);
        EXPECT_EQ(server.received(victim), c.toVictim);
        EXPECT_EQ(server.slot(victim).dead, c.dead);
        EXPECT_EQ(server.slot(victim).health, 10 - c.damage);
        if (c.dead) {
            EXPECT_EQ(server.slot(victim).deathTime, server.clock.now());
            EXPECT_THAT(server.received(shooter), ElementsAre("Dead 1 2", "ProjDelete 3"));
        } else {
            EXPECT_THAT(server.received(shooter), ElementsAre("ProjDelete 3")); // "Health" is the victim's alone
        }
        EXPECT_TRUE(server.level->entities.projectiles.empty());
    }
}

TEST(Flight, owner_dead_and_disconnected_slots_are_passed_through_and_the_lower_slot_is_hit)
{
    ServerHarness server;
    int owner = server.joinAlive(100, 100);
    int dead = server.joinAlive(100, 100);
    int gone = server.joinAlive(100, 100);
    int lower = server.joinAlive(100, 100);
    int upper = server.joinAlive(100, 100);
    server.slot(dead).dead = true;
    server.slot(dead).deathTime = server.clock.now();
    server.slot(gone).connected = false;
    server.level->entities.projectiles.push_back(At(0, 100, 100, owner));
    PassWithoutTick(server);
    EXPECT_EQ(server.slot(owner).health, 100);
    EXPECT_EQ(server.slot(gone).health, 100);
    EXPECT_EQ(server.slot(lower).health, 90);
    EXPECT_EQ(server.slot(upper).health, 100);
}

// Catches an erase that skips or revisits the projectile after the removed one.
TEST(Flight, after_an_erase_every_other_projectile_is_visited_once_with_its_id_unchanged)
{
    ServerHarness server;
    int victim = server.joinAlive(100, 100);
    auto& list = server.level->entities.projectiles;
    list.push_back(At(0, 100, 100));    // hits
    list.push_back(At(1, 100, 100));    // hits too, in the same pass
    list.push_back(At(2, 900, 900));    // misses
    Projectile old = At(3, 900, 900);
    old.creationTime = server.clock.now() - 5000; // expires
    list.push_back(old);
    PassWithoutTick(server);
    EXPECT_THAT(server.received(victim), ElementsAre("Health 90", "ProjDelete 0", "Health 80", "ProjDelete 1",
                                                     "ProjDelete 3"));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list.front().id, 2);
}

TEST(Flight, extreme_and_non_finite_positions_never_hit_or_overflow)
{
    ServerHarness server;
    const float inf = std::numeric_limits<float>::infinity();
    int edge = server.joinAlive(2147483647.0f, 0);
    int nan = server.joinAlive(std::nanf(""), 0);
    int infinite = server.joinAlive(-inf, 0);
    auto& list = server.level->entities.projectiles;
    list.push_back(At(0, 2147483647.0f, 0));  // inside the saturated box of the edge player
    list.push_back(At(1, std::nanf(""), 0));
    list.push_back(At(2, -inf, 0));
    list.push_back(At(3, -2147483648.0f, 0));
    PassWithoutTick(server);
    EXPECT_EQ(server.slot(edge).health, 90);
    EXPECT_EQ(server.slot(nan).health, 100);
    EXPECT_EQ(server.slot(infinite).health, 100);
    EXPECT_EQ(list.size(), 3u);
}

TEST(Respawn, comes_back_after_3000_ms_at_a_drawn_spot_with_a_fresh_weapon)
{
    ServerHarness server(8, 3, 1, 1);
    int id = server.join();
    int other = server.join();
    server.slot(other).dead = false;
    Weapon* before = server.slot(id).weapon.get();
    server.net->clearReceived();
    server.clock.advance(2999);
    server.pass();
    EXPECT_TRUE(server.slot(id).dead);

    server.clock.advance(1);
    server.random.push(31);    // x on a 1 × 1 map: 31 mod 32
    server.random.push(32 + 5);// y: 5
    server.random.push(0);     // weapon
    server.pass();
    Player& back = server.slot(id);
    EXPECT_FALSE(back.dead);
    EXPECT_EQ(back.health, 100);
    EXPECT_EQ(back.x, 31.0f);
    EXPECT_EQ(back.y, 5.0f);
    EXPECT_NE(back.weapon.get(), before);
    EXPECT_NE(back.weapon.get(), server.level->entities.weapons[0].get());
    EXPECT_EQ(back.weapon->lastFireTicks, server.clock.now()); // cooling from the respawn
    EXPECT_THAT(server.received(id), ElementsAre("Moved 1 31f 5f", "Alive 1"));
    EXPECT_THAT(server.received(other), ElementsAre("Moved 1 31f 5f", "Alive 1"));
    EXPECT_EQ(server.random.remaining(), 0u);
}

TEST(Respawn, several_players_in_one_pass_draw_slot_by_slot_and_disconnected_ones_stay_dead)
{
    ServerHarness server(8, 3, 10, 10);
    int a = server.join();
    int gone = server.join();
    int b = server.join();
    server.slot(gone).connected = false;
    server.net->clearReceived();
    server.clock.advance(3000);
    for (int draw : {1, 2, 0, 3, 4, 0})
        server.random.push(draw);
    server.pass();
    EXPECT_EQ(server.slot(a).x, 1.0f);
    EXPECT_EQ(server.slot(b).x, 3.0f);
    EXPECT_TRUE(server.slot(gone).dead);
    EXPECT_THAT(server.received(a), ElementsAre("Moved 1 1f 2f", "Alive 1", "Moved 3 3f 4f", "Alive 3"));
}

// A server whose clock count passes 2^31 ms must keep timing everything.
TEST(ClockWrap, expiry_hit_death_respawn_and_ticks_work_across_the_wrap)
{
    ServerHarness server;
    server.clock.set(std::numeric_limits<int32_t>::max() - 1500);
    server.loop.tickReference = server.clock.now();
    int victim = server.joinAlive(112, 100);
    int shooter = server.joinAlive(0, 0);
    server.slot(victim).health = 5;
    server.slot(shooter).weapon = std::make_unique<InstaWeapon>(10, 0.5f, 1, 0.0f, 1.0f);
    server.clock.advance(600); // 1500 - 600: still before the wrap
    server.slot(shooter).x = 100;
    server.slot(shooter).y = 100;
    server.slot(shooter).rotation = 90;
    server.random.push(16383);
    server.send(shooter, MessageWriter().putString("Fire"));
    ASSERT_EQ(server.level->entities.projectiles.size(), 1u);

    server.clock.advance(17); // tick: the projectile moves onto the victim
    server.pass();
    EXPECT_TRUE(server.slot(victim).dead);

    server.clock.advance(900); // the clock wraps here
    EXPECT_LT(server.clock.now(), 0);
    server.slot(shooter).weapon->lastFireTicks = server.clock.now();
    server.clock.advance(600);
    server.random.push(16383);
    server.send(shooter, MessageWriter().putString("Fire"));
    EXPECT_EQ(server.level->entities.projectiles.size(), 1u); // the cooldown worked across the wrap
    server.clock.advance(1000);
    server.pass();
    EXPECT_EQ(server.level->entities.projectiles.size(), 1u);
    server.clock.advance(1);
    server.pass();
    EXPECT_TRUE(server.level->entities.projectiles.empty()); // expired at 1001 ms

    server.clock.advance(498); // 2999 ms since the death
    server.pass();
    EXPECT_TRUE(server.slot(victim).dead);
    server.clock.advance(1);
    server.random.push(0);
    server.pass();
    EXPECT_FALSE(server.slot(victim).dead);
}

TEST(Flight, expiry_delay_is_the_first_whole_millisecond_past_the_lifetime)
{
    EXPECT_EQ(ExpiryDelayMs(1.0f), 1001);
    EXPECT_EQ(ExpiryDelayMs(0.03125f), 32);
    EXPECT_EQ(ExpiryDelayMs(0.0f), 1);
    for (float lifetime : {0.494444f, 0.36165f, 18.9708f, 1.3125f}) {
        int32_t d = ExpiryDelayMs(lifetime);
        EXPECT_LT(lifetime, static_cast<float>(d / 1000.0));
        EXPECT_FALSE(lifetime < static_cast<float>((d - 1) / 1000.0));
    }
}

} // namespace
} // namespace skirmish::testing

namespace skirmish::testing {
namespace {

// The index must answer exactly what a walk over every slot in order answers; a
// pruning mistake at a cell edge, for negative positions or near the 32-bit limits
// would silently lose or misplace hits.
TEST(HitIndexTest, answers_like_a_walk_over_every_slot_in_order)
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
            Player* expected = nullptr;
            for (Player& p : entities.players) {
                if (p.connected && !p.dead && p.id != projectile.owner && InHitBox(p, projectile)) {
                    expected = &p;
                    break;
                }
            }
            Player* got = index.firstHit(projectile);
            ASSERT_EQ(got, expected) << "world " << world << " shot at " << projectile.x << "," << projectile.y;
            if (got && coin(random) < 3)
                got->dead = true; // a kill in the middle of a pass
        }
    }
}

} // namespace
} // namespace skirmish::testing

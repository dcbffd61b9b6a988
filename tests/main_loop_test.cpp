#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>

#include "game/timers.h"
#include "harness.h"

namespace skirmish::testing {
namespace {

using ::testing::ElementsAre;

// One join is taken per pass: it seats the slot dead and unnamed with a clone of a
// drawn catalogue weapon, and greets only that player, the operator's words after the greeting.
TEST(MainLoop, one_join_per_pass_seats_the_slot_dead_and_unnamed_with_a_drawn_weapon_and_greets_only_it)
{
    ServerHarness server;
    auto& catalogue = server.level->entities.weapons;
    catalogue.push_back(std::make_unique<InstaWeapon>(77, 1.0f, 1, 0.0f, 1.0f, 0));
    server.random.push(5); // 5 mod 2 picks entry 1
    server.net->connect("10.1.2.3");
    server.net->connect("10.9.9.9");
    server.pass();
    EXPECT_FALSE(server.slot(2).connected);
    EXPECT_EQ(server.slot(1).weapon->damage, 77);
    EXPECT_NE(server.slot(1).weapon.get(), catalogue[1].get()); // a clone, never the catalogue's own
    server.net->clearReceived();
    server.loop.motd = "Be nice";
    server.pass();
    const Player& seated = server.slot(2);
    EXPECT_EQ(std::tuple(seated.id, seated.name, seated.dead, seated.connected, seated.health, seated.deathTime),
              std::tuple(2, "unnamed", true, true, 0, server.clock.now()));
    EXPECT_THAT(server.received(2), ElementsAre("MOTD Goes Here", "PlayerMessage 0 Be nice"));
    EXPECT_TRUE(server.received(1).empty());
    EXPECT_THAT(server.consoleLines(), ElementsAre("Player ID 1 has joined the game from 10.1.2.3",
                                                   "Player ID 2 has joined the game from 10.9.9.9"));
}

// A leave keeps the record as it was; a command that raced its own leave dies with the
// connection (nothing from or about the id follows its "Left") and the id is free at
// once. A join and leave of one id in one pass take the join first.
TEST(MainLoop, a_leave_keeps_the_record_commands_that_raced_it_die_and_a_join_comes_before_its_leave)
{
    ServerHarness server;
    int ann = server.joinAlive(33.5f, 44.0f);
    Weapon* weapon = server.slot(ann).weapon.get();
    int watcher = server.join();
    server.net->clearReceived();
    server.console.str("");
    server.net->send(ann, command::Move(1, 0));
    server.net->disconnect(ann);
    int brief = server.net->connect("1.2.3.4");
    server.net->disconnect(brief);
    server.pass();
    server.pass();
    EXPECT_THAT(server.consoleLines(), ElementsAre("Player ID 3 has joined the game from 1.2.3.4",
                                                   "Player ID 1 has left the game.", "Player ID 3 has left the game."));
    const Player& left = server.slot(ann);
    EXPECT_EQ(std::tuple(left.connected, left.x, left.name, left.weapon.get()), std::tuple(false, 33.5f, "p", weapon));
    EXPECT_THAT(server.received(watcher), ElementsAre("Left 1", "Left 3"));
    EXPECT_EQ(server.join(), 1);
}

// Catches a tick that makes up missed steps (the 17 ms period is pinned by the tick-phase test below).
TEST(MainLoop, a_stalled_tick_moves_once_and_the_dashboards_see_how_late_it_was)
{
    ServerHarness server;
    int watcher = server.join();
    server.level->entities.projectiles.push_back(
        Projectile{.id = 4, .angle = 90, .lifetime = 100, .creationTime = server.clock.now()});
    server.loop.tickReference = server.clock.now();
    server.net->clearReceived();
    server.clock.advance(1000);
    server.pass();
    server.pass();
    EXPECT_THAT(server.received(watcher), ElementsAre("ProjMove 4 12f 0f"));
    EXPECT_EQ(server.loop.stats.ticks, 1u);
    EXPECT_DOUBLE_EQ(server.loop.stats.tickLateness.sum(), 0.983);
}

// An empty server must sleep until traffic comes; a busy one must wake for its next timed step.
TEST(MainLoop, the_network_wait_ends_when_the_next_tick_expiry_or_respawn_is_due_and_is_endless_without_any)
{
    ServerHarness server;
    const int32_t now = server.clock.now();
    auto due = [&] { return MillisecondsUntilDue(*server.level, server.loop, now); };
    // A pass that took nothing says so: the loop would otherwise gather input every millisecond.
    EXPECT_FALSE(RunPass(*server.level, server.loop, server.clock, server.in, server.out));
    server.loop.tickReference = now - 500;
    EXPECT_EQ(due(), std::nullopt); // nothing in flight, nobody dead
    auto& projectiles = server.level->entities.projectiles;
    projectiles.push_back(Projectile{.lifetime = 1.0f, .creationTime = now - 995});
    EXPECT_EQ(due(), 0); // the tick is overdue
    server.loop.tickReference = now - 5;
    EXPECT_EQ(due(), 6); // expires at 1001 ms, before the tick at 17
    projectiles.front().creationTime = now;
    EXPECT_EQ(due(), 12);
    projectiles.clear();
    int id = server.join();
    server.slot(id).deathTime = now - 2990;
    EXPECT_EQ(due(), 10);
    server.slot(id).deathTime = now;
    EXPECT_EQ(due(), 17); // never more than a tick
}

// Ticks with nothing to move are unobservable, but the phase they keep is not:
// after a sleep of any length, even past half the clock's wrap, the first
// projectile moves on the 17 ms grid of the last tick.
TEST(MainLoop, a_server_that_slept_keeps_the_tick_phase)
{
    for (uint32_t idle : {17u * 100 + 5, (1u << 31) + 1000}) {
        ServerHarness server;
        int watcher = server.join();
        const int32_t reference = server.loop.tickReference;
        server.clock.advance(static_cast<int32_t>(idle));
        server.pass();
        const int32_t phase = static_cast<int32_t>(idle % kMovementTickMs);
        EXPECT_EQ(ElapsedMs(server.loop.tickReference, reference), static_cast<int32_t>(idle) - phase) << idle;
        server.level->entities.projectiles.push_back(
            Projectile{.id = 4, .angle = 90, .lifetime = 100, .creationTime = server.clock.now()});
        server.net->clearReceived();
        server.clock.advance(kMovementTickMs - phase - 1);
        server.pass();
        EXPECT_TRUE(server.received(watcher).empty()) << idle;
        server.clock.advance(1);
        server.pass();
        EXPECT_THAT(server.received(watcher), ElementsAre("ProjMove 4 12f 0f")) << idle;
    }
}

// A player that comes into a projectile's box during a pass is hit before the next
// movement step, as a loop that never slept would hit it, not flown through while
// the loop waited for the step: by the automatic respawn, by "Move" and by "Respawn".
TEST(MainLoop, a_player_entering_a_flying_projectile_is_hit_before_the_next_step)
{
    struct Case { const char* how; std::function<void(ServerHarness&, int)> enter; };
    const Case cases[] = {
        {"automatic respawn", [](ServerHarness& s, int id) {
             s.slot(id).dead = true;
             s.slot(id).deathTime = s.clock.now() - kRespawnDelayMs;
             for (int draw : {85, 100, 0}) // x, y, weapon
                 s.random.push(draw);
             s.pass();
         }},
        {"Move", [](ServerHarness& s, int id) { s.send(id, command::Move(45, 0)); }},
        {"Respawn", [](ServerHarness& s, int id) { s.send(id, command::Respawn(102, 86)); }}, // 11 + 102 / 1.141, 10 + 86 / 1.141
    };
    for (const Case& c : cases) {
        ServerHarness server;
        int victim = server.joinAlive(40, 100);
        server.level->entities.projectiles.push_back(Projectile{
            .id = 4, .damage = 10, .x = 100, .y = 100, .angle = 90, .lifetime = 100, .creationTime = server.clock.now()});
        server.clock.advance(5); // the next step falls due 12 ms later, while the loop would wait
        c.enter(server, victim);
        EXPECT_THAT(server.received(victim), ::testing::IsSupersetOf({"Health 90", "ProjDelete 4"})) << c.how;
        EXPECT_EQ(server.slot(victim).health, 90) << c.how;
    }
}

// Handling takes time: a flood of commands in one pass stops being taken once the
// movement tick falls due, and the next pass steps the projectiles before the rest,
// which keep their order.
TEST(MainLoop, a_pass_stops_taking_commands_once_the_tick_is_due_and_the_rest_follow_the_step)
{
    struct SlowInbox final : Inbox { // each command taken costs a millisecond
        Inbox& in;
        FakeClock& clock;
        SlowInbox(Inbox& in, FakeClock& clock) : in(in), clock(clock) {}
        int takeJoin(std::string& address) override { return in.takeJoin(address); }
        int takeLeave() override { return in.takeLeave(); }
        bool takeMessage(int& from, Bytes& message) override { return clock.advance(1), in.takeMessage(from, message); }
    };
    ServerHarness server;
    int mover = server.joinAlive(40, 40);
    server.level->entities.projectiles.push_back(
        Projectile{.id = 4, .angle = 90, .lifetime = 100, .creationTime = server.clock.now()});
    server.loop.tickReference = server.clock.now();
    server.clock.advance(kMovementTickMs - 7);
    for (int i = 0; i < 20; ++i)
        server.net->send(mover, command::Move(i % 2 ? 1.0f : -1.0f, 0));
    SlowInbox slow(server.in, server.clock);
    for (int pass = 0; pass < 3; ++pass) {
        RunPass(*server.level, server.loop, server.clock, slow, server.out);
        NetService(0);
    }
    std::vector<std::string> heard;
    for (const std::string& message : server.received(mover))
        heard.push_back(message.substr(0, message.find(' ')));
    std::vector<std::string> expected(7, "Moved");
    expected.push_back("ProjMove");
    expected.insert(expected.end(), 13, "Moved");
    EXPECT_EQ(heard, expected);
}

// A server whose clock count passes 2^31 ms must keep timing everything.
TEST(ClockWrap, expiry_hit_death_respawn_and_ticks_work_across_the_wrap)
{
    ServerHarness server;
    server.clock.set(std::numeric_limits<int32_t>::max() - 1500);
    server.loop.tickReference = server.clock.now();
    int victim = server.joinAlive(112, 100);
    int shooter = server.joinAlive(100, 100);
    server.slot(victim).health = 5;
    server.slot(shooter).rotation = 90;
    server.slot(shooter).weapon = std::make_unique<InstaWeapon>(10, 0.5f, 1, 0.0f, 1.0f, server.clock.now());
    server.clock.advance(600); // still before the wrap
    server.random.push(16383);
    server.send(shooter, command::Fire()); // the shot leaves the muzzle inside the victim's box
    EXPECT_TRUE(server.slot(victim).dead);

    server.clock.advance(917); // the clock wraps here
    EXPECT_LT(server.clock.now(), 0);
    server.slot(shooter).weapon->lastFireTicks = server.clock.now();
    server.clock.advance(600);
    server.random.push(16383);
    server.send(shooter, command::Fire());
    EXPECT_EQ(server.level->entities.projectiles.size(), 1u); // the cooldown worked across the wrap
    server.clock.advance(1000);
    server.pass();
    EXPECT_EQ(server.level->entities.projectiles.size(), 1u);
    server.clock.advance(1);
    server.pass();
    EXPECT_TRUE(server.level->entities.projectiles.empty()); // expired at 1001 ms
    server.clock.advance(481); // 2999 ms since the death
    server.pass();
    EXPECT_TRUE(server.slot(victim).dead);
    server.clock.advance(1);
    server.random.push(0);
    server.pass();
    EXPECT_FALSE(server.slot(victim).dead);
}

} // namespace
} // namespace skirmish::testing

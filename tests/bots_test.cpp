#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/bots.h"
#include "app/recorder.h"
#include "harness.h"
#include "temp_dir.h"

namespace skirmish::testing {
namespace {

using ::testing::Contains;

// Passes over a span of fake time, a pass every 10 ms.
void RunFor(ServerHarness& server, int32_t ms)
{
    for (int32_t t = 0; t < ms; t += 10) {
        server.clock.advance(10);
        server.pass();
    }
}

// People and bots together make the target while seats allow; a person never finds
// the server full while a bot holds a seat, and every bot's leave is told to all.
TEST(Bots, fill_empty_seats_make_way_for_people_and_come_back_when_they_leave)
{
    struct Case {
        int players; // seats are players - 1
        int target;
        int botsAlone, botsWithOnePerson;
    };
    const Case cases[] = {{4, 6, 3, 2}, {9, 2, 2, 1}, {9, 8, 8, 7}};
    for (const Case& c : cases) {
        ServerHarness server(c.players);
        Bots bots(c.target, 1);
        server.loop.bots = &bots;
        RunFor(server, 200);
        EXPECT_EQ(NetGetStats().bots, c.botsAlone) << c.target;
        int watcher = server.net->connect("10.0.0.9", Role::Spectator);
        int person = server.net->connect("10.0.0.1");
        ASSERT_NE(person, 0) << "a bot makes way";
        RunFor(server, 200);
        EXPECT_EQ(NetGetStats().bots, c.botsWithOnePerson) << c.target;
        EXPECT_TRUE(server.slot(person).connected) << c.target << " person " << person;
        EXPECT_EQ(server.received(person).at(0), "MOTD Goes Here");
        const int gone = c.botsAlone < c.players - 1 ? c.botsAlone : person; // the newest bot leaves
        EXPECT_THAT(server.received(watcher), Contains("Left " + std::to_string(gone))) << c.target;
        server.net->disconnect(person);
        RunFor(server, 200);
        EXPECT_EQ(NetGetStats().bots, c.botsAlone) << c.target;
    }
}

// Bots alone are no match worth keeping: a recording starts with a person and ends
// 60 s after the last person left, the bots playing on.
TEST(Bots, recordings_follow_the_people_not_the_bots)
{
    ServerHarness server(4);
    Bots bots(3, 1);
    TempDir dir;
    Recorder recorder({.dir = dir.path}, DemoHeader{}, [] { return int64_t{1700000000000}; });
    recorder.countPeopleBy([] { return NetGetStats().enetPlayers; });
    server.loop.bots = &bots;
    server.loop.recorder = &recorder;
    RunFor(server, 200);
    EXPECT_EQ(recorder.currentName(), "");
    int person = server.net->connect("10.0.0.1");
    RunFor(server, 200);
    EXPECT_NE(recorder.currentName(), "");
    server.net->disconnect(person);
    RunFor(server, kDemoEmptyEndMs + 200);
    EXPECT_EQ(recorder.currentName(), "");
    EXPECT_EQ(NetGetStats().bots, 3);
}

// A turn of its own between ticks would wake the loop twice as often as the ticks do.
TEST(Bots, a_turn_rides_the_next_tick_while_projectiles_fly_and_wakes_the_loop_only_when_none_do)
{
    ServerHarness server(4);
    Bots bots(2, 1);
    server.loop.bots = &bots;
    RunFor(server, 200);
    server.level->entities.projectiles.clear();
    const int32_t now = server.clock.now() + std::max(0, bots.msUntilDue(server.clock.now()).value() - 5);
    const int32_t turn = bots.msUntilDue(now).value(); // within a tick
    server.loop.tickReference = now + turn + 1 - kMovementTickMs; // the tick falls due 1 ms after the turn
    EXPECT_EQ(MillisecondsUntilDue(*server.level, server.loop, now), turn);
    server.level->entities.projectiles.push_back(Projectile{.lifetime = 100, .creationTime = now});
    EXPECT_EQ(MillisecondsUntilDue(*server.level, server.loop, now), turn + 1);
}

// Bots hear only what the server sends them and act only through commands: in a
// bots-only match they walk, aim and shoot, and the server meets no command it refuses.
TEST(Bots, fight_among_themselves_through_the_commands_a_client_sends)
{
    ServerHarness server(4);
    Bots bots(3, 7);
    server.loop.bots = &bots;
    int watcher = server.net->connect("10.0.0.9", Role::Spectator);
    RunFor(server, 10000);
    std::map<std::string, int> heard;
    for (const std::string& message : server.received(watcher))
        ++heard[message.substr(0, message.find(' '))];
    for (const char* name : {"Joined", "Alive", "Moved", "Rotated", "NewProjectile", "Dead"})
        EXPECT_GT(heard[name], 0) << name;
    for (const std::string& line : server.consoleLines())
        EXPECT_THAT(line, ::testing::Not(::testing::HasSubstr("nknown"))) << line;
}

// A bot at (0, 0) that has seen one live player 100 units to its right (heading 90)
// from the start; each turn's chance draws come up just (draw percent - 1) or miss
// just (draw percent), and the aim's draw strays it fully left, then fully right.
TEST(BotSkill, reaction_time_aim_error_and_fire_and_move_chances_follow_the_table)
{
    for (const BotSkill& skill : kBotSkills) {
        BotMind mind;
        for (const MessageWriter& m : {message::Player(1, "me", 0, 0, false), message::Player(2, "you", 100, 0, false),
                                       message::ProjDone(), message::Joined(1, "me")})
            mind.hear(DecodeMessage(m.bytes()));
        auto turn = [&](int32_t now, std::initializer_list<int32_t> draws) {
            ScriptedRandom random(draws);
            std::string said;
            for (const MessageWriter& command : mind.think(random, skill, now))
                said += DecodeMessage(command.bytes()).describe() + ";";
            EXPECT_EQ(random.remaining(), 0u) << skill.name;
            return said;
        };
        const bool always = skill.firePercent == 100 && skill.movePercent == 100;
        const int32_t t0 = 5000;
        if (skill.reactionMs > 0) {
            EXPECT_EQ(turn(t0, {}), "") << skill.name; // the target is first seen here
            EXPECT_EQ(turn(t0 + skill.reactionMs - 1, {}), "") << skill.name;
        } else
            EXPECT_NE(turn(t0, {2 * skill.aimStrayDegrees}), "") << skill.name;
        const int32_t seen = t0 + std::max(skill.reactionMs, 1);
        const std::string left = std::to_string(90 - skill.aimStrayDegrees);
        const std::string right = std::to_string(90 + skill.aimStrayDegrees);
        if (always) {
            EXPECT_EQ(turn(seen, {0}), "Move 6f 0f;Rotate " + left + "f;Fire;") << skill.name;
            continue;
        }
        EXPECT_EQ(turn(seen, {skill.movePercent - 1, 0, skill.firePercent - 1}), "Move 6f 0f;Rotate " + left + "f;Fire;")
            << skill.name;
        EXPECT_EQ(turn(seen + 100, {skill.movePercent, 2 * skill.aimStrayDegrees, skill.firePercent}),
                  "Rotate " + right + "f;")
            << skill.name;
    }
    EXPECT_EQ(&DefaultBotSkill(), FindBotSkill("normal"));
    EXPECT_EQ(FindBotSkill("expert"), nullptr);
}

} // namespace
} // namespace skirmish::testing

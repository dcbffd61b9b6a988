#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "harness.h"
#include "net/dispatch.h"

namespace skirmish::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

MessageWriter Command(const char* word) { return std::move(MessageWriter().putString(word)); }

TEST(Dispatch, move_adds_axis_steps_whole_shortens_diagonals_and_answers_whole_numbers)
{
    ServerHarness server;
    int id = server.joinAlive(10, 20);
    int other = server.join();
    server.net->clearReceived();

    server.send(id, Command("Move").putFloat(0).putFloat(5));
    EXPECT_EQ(server.slot(id).y, 25.0f);
    server.send(id, Command("Move").putFloat(3).putFloat(4));
    EXPECT_EQ(server.slot(id).x, 10.0f + static_cast<float>(3 / 1.141));
    EXPECT_EQ(server.slot(id).x, 12.629272f);
    EXPECT_EQ(server.slot(id).y, 25.0f + static_cast<float>(4 / 1.141));
    EXPECT_THAT(server.received(other), ElementsAre("Moved 1 10f 25f", "Moved 1 12f 28f"));

    server.slot(id).x = 27.9f;
    server.slot(id).y = -3.5f;
    server.send(id, Command("Move").putFloat(0).putFloat(0));
    EXPECT_EQ(server.received(id).back(), "Moved 1 27f -3f");
}

// Clients have crashed on non-finite values; one bad "Move" must not poison the world.
TEST(Dispatch, non_finite_move_or_rotate_changes_nothing_and_sends_nothing)
{
    ServerHarness server;
    int id = server.joinAlive(10, 20);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    server.send(id, Command("Move").putFloat(nan).putFloat(1));
    server.send(id, Command("Move").putFloat(1).putFloat(-inf));
    server.send(id, Command("Rotate").putFloat(inf));
    EXPECT_EQ(server.slot(id).x, 10.0f);
    EXPECT_EQ(server.slot(id).y, 20.0f);
    EXPECT_EQ(server.slot(id).rotation, 0.0f);
    EXPECT_THAT(server.received(id), IsEmpty());
    EXPECT_THAT(server.consoleLines(), IsEmpty()); // handled, so not logged as unmatched

    server.send(id, Command("Move").putFloat(3e38f).putFloat(0));
    server.send(id, Command("Move").putFloat(3e38f).putFloat(0)); // overflows to inf: answered saturated
    EXPECT_THAT(server.received(id), ElementsAre("Moved 1 2147483648f 20f", "Moved 1 2147483648f 20f"));
}

TEST(Dispatch, rotate_stores_and_echoes_unwrapped_and_chat_is_relayed_to_all)
{
    ServerHarness server;
    int id = server.joinAlive(0, 0);
    int other = server.join();
    server.net->clearReceived();
    server.send(id, Command("Rotate").putFloat(370.5f));
    server.send(other, Command("PlayerMessage").putString("hello there"));
    EXPECT_EQ(server.slot(id).rotation, 370.5f);
    EXPECT_THAT(server.received(id), ElementsAre("Rotated 1 370.5f", "PlayerMessage 2 hello there"));
    EXPECT_THAT(server.received(other), ElementsAre("Rotated 1 370.5f", "PlayerMessage 2 hello there"));
}

// Catches swapped offsets: the first integer moves y.
TEST(Dispatch, respawn_places_at_room_entry_1_then_moves_y_by_the_first_integer)
{
    struct Case {
        int32_t first, second;
        const char* secondMoved;
    };
    for (const Case& c : {Case{5, 0, "Moved 1 10f 16f"}, Case{0, 7, "Moved 1 17f 11f"}}) {
        ServerHarness server; // room entry 1 is at (10, 11)
        int id = server.join();
        server.slot(id).health = -4;
        server.net->clearReceived();
        server.console.str("");
        server.send(id, Command("Respawn").putInt(c.first).putInt(c.second));
        EXPECT_THAT(server.received(id), ElementsAre("Moved 1 10f 11f", c.secondMoved, "Alive 1"));
        EXPECT_EQ(server.slot(id).health, 100);
        EXPECT_FALSE(server.slot(id).dead);
        EXPECT_THAT(server.consoleLines(), ElementsAre("Respawn requested by 1"));
    }
}

TEST(Dispatch, respawn_from_a_living_player_keeps_its_weapon_and_death_time)
{
    ServerHarness server;
    int id = server.joinAlive(50, 50);
    Weapon* weapon = server.slot(id).weapon.get();
    int32_t deathTime = server.slot(id).deathTime;
    server.send(id, Command("Respawn").putInt(0).putInt(0));
    EXPECT_EQ(server.slot(id).weapon.get(), weapon);
    EXPECT_EQ(server.slot(id).deathTime, deathTime);
    EXPECT_THAT(server.received(id), ElementsAre("Moved 1 10f 11f", "Moved 1 10f 11f", "Alive 1"));
}

TEST(Dispatch, name_logs_stores_sends_the_snapshot_then_joined_and_restarts_the_respawn_delay)
{
    ServerHarness server;
    int other = server.join();
    int id = server.join();
    server.net->clearReceived();
    server.console.str("");
    server.clock.advance(2500);
    server.send(id, Command("Name").putString("Zed"));

    EXPECT_EQ(server.slot(id).name, "Zed");
    EXPECT_EQ(server.slot(id).deathTime, server.clock.now());
    EXPECT_THAT(server.consoleLines(), ElementsAre("Player 2 updated name to Zed"));
    EXPECT_THAT(server.received(id),
                ElementsAre("LevelInfo 3 10 10 8", "0 1 2 3", "10 11 3 4", "20 21 4 5", "30 31 5 6",
                            "Player 1 unnamed 0f 0f b1 0", "Player 2 Zed 0f 0f b1 0", "PlayersDone", "ProjDone",
                            "Joined 2 Zed"));
    EXPECT_THAT(server.received(other), ElementsAre("Joined 2 Zed"));

    server.net->clearReceived();
    server.send(id, Command("Name").putString("Zed"));
    EXPECT_EQ(server.received(id).size(), 10u); // a second snapshot and a second "Joined"
}

TEST(Dispatch, long_names_are_cut_in_the_slot_but_logged_escaped_and_announced_whole)
{
    ServerHarness server;
    int id = server.join();
    server.console.str("");
    const std::string longName = std::string(70, 'n') + "\n";
    server.send(id, Command("Name").putString(longName));
    EXPECT_EQ(server.slot(id).name, std::string(63, 'n'));
    EXPECT_THAT(server.consoleLines(), ElementsAre("Player 1 updated name to " + std::string(70, 'n') + "\\x0a"));
    EXPECT_EQ(server.received(id).back(), "Joined 1 " + longName);
}

TEST(Dispatch, snapshot_lists_connected_slots_in_order_and_live_projectiles_oldest_first)
{
    ServerHarness server;
    for (int i = 0; i < 3; ++i)
        server.join();
    server.net->disconnect(2);
    server.pass();
    server.slot(3).x = 27.9f;
    server.slot(3).dead = false;
    server.level->entities.projectiles.push_back(Projectile{.id = 9, .x = 1.5f, .y = 2.5f, .angle = 33});
    server.level->entities.projectiles.push_back(Projectile{.id = 4, .x = 3, .y = 4, .angle = 5});
    server.net->clearReceived();
    SendLevelSnapshot(*server.level, 1);
    NetService(0);
    EXPECT_THAT(server.received(1),
                ElementsAre("LevelInfo 3 10 10 8", "0 1 2 3", "10 11 3 4", "20 21 4 5", "30 31 5 6",
                            "Player 1 unnamed 0f 0f b1 0", "Player 3 unnamed 27f 0f b0 0", "PlayersDone",
                            "NewProjectile 9 1.5f 2.5f 33f", "NewProjectile 4 3f 4f 5f", "ProjDone"));
    EXPECT_THAT(server.received(3), IsEmpty());
}

TEST(Dispatch, fire_respects_the_cooldown_and_announces_each_projectile_from_the_shooter)
{
    ServerHarness server;
    server.level->entities.weapons[0] = std::make_unique<InstaWeapon>(10, 0.5f, 3, 10.0f, 1.0f);
    int id = server.join();
    server.slot(id).x = 27.9f;
    server.slot(id).y = -3.5f;
    server.slot(id).rotation = 90;
    server.net->clearReceived();

    server.send(id, Command("Fire")); // a fresh weapon is cooling
    EXPECT_THAT(server.received(id), IsEmpty());

    server.clock.advance(501);
    server.random.push(0);
    server.random.push(32767);
    server.random.push(16383);
    server.send(id, Command("Fire")); // a dead player fires like any other
    server.send(id, Command("Fire")); // inside the period again: handled, silent
    EXPECT_THAT(server.received(id), ElementsAre("NewProjectile 0 27f -3f 90f", "NewProjectile 1 27f -3f 90f",
                                                 "NewProjectile 2 27f -3f 90f"));
    EXPECT_THAT(server.consoleLines(), ElementsAre("Player ID 1 has joined the game from 127.0.0.1"));
    const auto& projectiles = server.level->entities.projectiles;
    ASSERT_EQ(projectiles.size(), 3u);
    EXPECT_EQ(projectiles.front().angle, 85.0f); // the record keeps its own spread angle
    EXPECT_EQ(projectiles.back().owner, id);
}

// A message that raced its own leave reaches a slot that is no longer connected.
TEST(Dispatch, commands_after_the_leave_change_the_record_but_never_reconnect_it)
{
    ServerHarness server;
    int id = server.joinAlive(0, 0);
    int other = server.join();
    server.net->send(id, Command("Move").putFloat(1).putFloat(0));
    server.net->send(id, Command("Respawn").putInt(0).putInt(0));
    server.net->disconnect(id);
    server.net->clearReceived();
    server.pass();
    EXPECT_FALSE(server.slot(id).connected);
    EXPECT_THAT(server.received(other), ElementsAre("Left 1", "Moved 1 1f 0f", "Moved 1 10f 11f", "Moved 1 10f 11f",
                                                    "Alive 1"));
    // The id is free again only once its last message was read.
    EXPECT_EQ(server.join(), 1);
}

} // namespace
} // namespace skirmish::testing

namespace skirmish::testing {
namespace {

// A client must not be able to forge console lines, move the operator's cursor or
// flood the log through a name or a command word.
TEST(Console, hostile_names_and_words_give_one_bounded_escaped_line_each)
{
    const std::string hostile[] = {
        "two\nlines", "carriage\rreturn", "\x1b[2J\x1b[H", "100%n%s%x", "bad\xff\xfe utf8", "\xc3", std::string(600, '\n'),
    };
    for (const std::string& text : hostile) {
        for (bool asName : {true, false}) {
            ServerHarness server;
            int id = server.join();
            server.console.str("");
            if (asName)
                server.send(id, MessageWriter().putString("Name").putString(text));
            else
                server.send(id, MessageWriter().putString(text));
            std::vector<std::string> lines = server.consoleLines();
            ASSERT_EQ(lines.size(), 1u) << ::testing::PrintToString(text);
            const std::string& line = lines[0];
            EXPECT_LE(line.size(), 64u + 255u * 4u);
            for (unsigned char c : line)
                EXPECT_TRUE(c >= 0x20 && c != 0x7F) << "control byte " << int(c) << " in " << line;
        }
    }
}

} // namespace
} // namespace skirmish::testing

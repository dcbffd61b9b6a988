#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>

#include "app/main_loop.h"
#include "game/seating.h"
#include "harness.h"

namespace skirmish::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A diagonal step is shortened by 1/1.141; answers carry whole numbers; rotation is kept
// unwrapped. Clients have crashed on non-finite values: such a command changes and sends nothing.
TEST(Commands, move_rotate_and_chat_are_applied_and_told_to_everyone_but_non_finite_values_are_dropped)
{
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    Game game;
    int id = game.seatAlive(10, 20);
    int other = game.seat();
    game.clear();
    game.handle(id, command::Move(nan, 1));
    game.handle(id, command::Move(1, -inf));
    game.handle(id, command::Rotate(inf));
    game.handle(id, command::Move(0, 5));
    EXPECT_EQ(std::pair(game.slot(id).x, game.slot(id).y), std::pair(10.0f, 25.0f));
    game.handle(id, command::Move(3, 4));
    EXPECT_EQ(std::pair(game.slot(id).x, game.slot(id).y), std::pair(12.629272f, 28.505697f));
    game.slot(id).x = 27.9f;
    game.slot(id).y = -3.5f;
    game.handle(id, command::Move(0, 0));
    game.handle(id, command::Rotate(370.5f));
    game.handle(other, command::PlayerMessage("hello there"));
    game.slot(id).x = 3e38f;
    game.handle(id, command::Move(3e38f, 0)); // overflows to inf: answered saturated
    EXPECT_EQ(game.slot(id).rotation, 370.5f);
    EXPECT_THAT(game.out.sent, ElementsAre(std::pair{0, "Moved 1 10f 25f"}, std::pair{0, "Moved 1 12f 28f"},
                                           std::pair{0, "Moved 1 27f -3f"}, std::pair{0, "Rotated 1 370.5f"},
                                           std::pair{0, "PlayerMessage 2 hello there"},
                                           std::pair{0, "Moved 1 2147483648f -3f"}));
    EXPECT_THAT(game.consoleLines(), IsEmpty()); // handled, so not logged as unmatched
}

// Catches swapped offsets: the first integer moves y. A living player keeps its weapon and death time.
TEST(Commands, respawn_places_at_room_entry_1_then_moves_y_by_the_first_integer)
{
    struct Case { bool alive; int32_t first, second; const char* secondMoved; };
    for (const Case& c : {Case{false, 5, 0, "Moved 1 10f 16f"}, Case{false, 0, 7, "Moved 1 17f 11f"},
                          Case{true, 0, 0, "Moved 1 10f 11f"}}) {
        Game game; // room entry 1 is at (10, 11)
        int id = c.alive ? game.seatAlive(50, 50) : game.seat();
        game.slot(id).health = c.alive ? 70 : -4;
        const Weapon* weapon = game.slot(id).weapon.get();
        const int32_t deathTime = game.slot(id).deathTime;
        game.clear();
        game.now += 5000;
        game.handle(id, command::Respawn(c.first, c.second));
        EXPECT_THAT(game.received(id), ElementsAre("Moved 1 10f 11f", c.secondMoved, "Alive 1"));
        EXPECT_EQ(std::tuple(game.slot(id).health, game.slot(id).dead, game.slot(id).weapon.get(), game.slot(id).deathTime),
                  std::tuple(100, false, weapon, deathTime));
        EXPECT_THAT(game.consoleLines(), ElementsAre("Respawn requested by 1"));
    }
}

// The snapshot lists the connected slots in order, at whole-number positions, and the
// live projectiles oldest first.
TEST(Commands, name_logs_stores_a_cut_copy_sends_the_snapshot_then_joined_and_restarts_the_respawn_delay)
{
    Game game;
    int other = game.seat(), gone = game.seat(), id = game.seat();
    game.slot(gone).connected = false;
    game.slot(other).x = 27.9f;
    game.slot(other).dead = false;
    game.level->entities.projectiles.push_back(Projectile{.id = 9, .x = 1.5f, .y = 2.5f, .angle = 33});
    game.level->entities.projectiles.push_back(Projectile{.id = 4, .x = 3, .y = 4, .angle = 5});
    game.clear();
    game.now += 2500;
    game.handle(id, command::Name("Zed"));
    EXPECT_EQ(std::pair(game.slot(id).name, game.slot(id).deathTime), std::pair(std::string("Zed"), game.now));
    EXPECT_THAT(game.consoleLines(), ElementsAre("Player 3 updated name to Zed"));
    EXPECT_THAT(game.received(id),
                ElementsAre("LevelInfo 3 10 10 8", "0 1 2 3", "10 11 3 4", "20 21 4 5", "30 31 5 6",
                            "Player 1 unnamed 27f 0f b0 0", "Player 3 Zed 0f 0f b1 0", "PlayersDone",
                            "NewProjectile 9 1.5f 2.5f 33f", "NewProjectile 4 3f 4f 5f", "ProjDone", "Joined 3 Zed"));
    EXPECT_THAT(game.received(other), ElementsAre("Joined 3 Zed"));

    // A long name is cut in the slot, but logged escaped and announced as read (up to 255 bytes).
    game.clear();
    const std::string longName = std::string(70, 'n') + "\n";
    game.handle(id, command::Name(longName + std::string(300, 'x')));
    EXPECT_EQ(game.slot(id).name, std::string(63, 'n'));
    EXPECT_THAT(game.consoleLines(),
                ElementsAre("Player 3 updated name to " + std::string(70, 'n') + "\\x0a" + std::string(255 - 71, 'x')));
    EXPECT_EQ(game.received(id).back(), "Joined 3 " + longName + std::string(255 - 71, 'x'));
}

// Texts carry any byte: a NUL neither ends a word nor cuts a name or a chat line.
TEST(Commands, words_compare_whole_and_texts_keep_nul_bytes)
{
    using namespace std::string_literals;
    Game game;
    int id = game.seatAlive(10, 20);
    for (const std::string& word : {"Move\0x"s, "Rotate\0"s, "move"s, "Fire "s})
        game.handle(id, std::move(MessageWriter().putString(word).putFloat(1).putFloat(1)));
    EXPECT_THAT(game.out.sent, IsEmpty());
    EXPECT_THAT(game.consoleLines(), ElementsAre("message \"Move\\x00x\" Sent by P1, but no matching command",
                                                 "message \"Rotate\\x00\" Sent by P1, but no matching command",
                                                 "message \"move\" Sent by P1, but no matching command",
                                                 "message \"Fire \" Sent by P1, but no matching command"));
    game.clear();
    game.now += LineBudget::kSecondMs; // the four lines above and the seat's name used this second's budget
    game.handle(id, command::Name("A\0B"s));
    game.handle(id, command::PlayerMessage("hi\0there"s));
    EXPECT_EQ(game.slot(id).name, "A\0B"s);
    EXPECT_THAT(game.consoleLines(), ElementsAre("Player 1 updated name to A\\x00B"));
    EXPECT_EQ(game.received(id)[5], "Player 1 A\0B 10f 20f b0 0"s);
    EXPECT_EQ(game.received(id).back(), "PlayerMessage 1 hi\0there"s);
    EXPECT_EQ(game.received(id)[game.received(id).size() - 2], "Joined 1 A\0B"s);
}

// What one client sends costs the console a bounded number of lines: the first few
// of each second, then one line with the count of the rest once that second is over.
TEST(Commands, a_flood_of_junk_writes_the_first_lines_of_each_second_and_a_count_of_the_rest)
{
    Game game;
    int flooder = game.seatAlive(0, 0), other = game.seatAlive(0, 0);
    game.now += LineBudget::kSecondMs;
    auto junk = [&](int times) {
        for (int i = 0; i < times; ++i)
            game.handle(flooder, MessageWriter().putString("junk"));
    };
    const std::string junkLine = "message \"junk\" Sent by P1, but no matching command";
    junk(1000);
    game.handle(other, command::Respawn(0, 0)); // a budget of its own
    game.now += LineBudget::kSecondMs - 1;
    game.handle(flooder, command::Name("still this second"));
    ReportWithheldLines(*game.level, game.now);
    EXPECT_EQ(MillisecondsUntilDue(*game.level, LoopState{game.now}, game.now), 1);
    game.now += 1;
    ReportWithheldLines(*game.level, game.now);
    junk(7);
    game.now += int32_t{1} << 31; // a second that began half a clock's wrap ago is over too
    junk(1);
    ReleasePlayer(*game.level, flooder, game.out);
    std::vector<std::string> expected(LineBudget::kLinesPerSecond, junkLine);
    expected.insert(expected.end(), {"Respawn requested by 2", "Player ID 1: 996 more lines in one second were not written."});
    expected.insert(expected.end(), LineBudget::kLinesPerSecond, junkLine);
    expected.insert(expected.end(), {"Player ID 1: 2 more lines in one second were not written.", junkLine,
                                     "Player ID 1 has left the game."});
    EXPECT_THAT(game.consoleLines(), ::testing::ElementsAreArray(expected));
}

TEST(Commands, fire_respects_the_cooldown_and_announces_each_projectile_from_the_shooter)
{
    Game game;
    game.level->entities.weapons[0] = std::make_unique<InstaWeapon>(10, 0.5f, 3, 10.0f, 1.0f, game.now);
    int id = game.seat();
    game.slot(id).x = 27.9f;
    game.slot(id).y = -3.5f;
    game.slot(id).rotation = 90;
    game.clear();
    game.now += 501; // a fresh weapon cools for its period
    for (int draw : {0, 32767, 16383})
        game.random.push(draw);
    game.handle(id, command::Fire()); // a dead player fires like any other
    game.handle(id, command::Fire()); // inside the period again: handled, silent
    EXPECT_THAT(game.received(id), ElementsAre("NewProjectile 0 27f -3f 90f", "NewProjectile 1 27f -3f 90f",
                                               "NewProjectile 2 27f -3f 90f"));
    EXPECT_THAT(game.consoleLines(), IsEmpty());
    const auto& projectiles = game.level->entities.projectiles;
    ASSERT_EQ(projectiles.size(), 3u);
    EXPECT_EQ(projectiles.front().angle, 85.0f); // the record keeps its own spread angle
    const Projectile& p = projectiles.back();
    EXPECT_EQ(std::tuple(p.x, p.y, p.damage, p.speed, p.lifetime, p.owner, p.creationTime),
              std::tuple(27.0f, -3.0f, 10, 12.0f, 1.0f, id, game.now)); // from the whole-number position
}

} // namespace
} // namespace skirmish::testing

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "game/respawn.h"
#include "harness.h"

namespace skirmish::testing {
namespace {

using ::testing::ElementsAre;

void Respawn(Game& game) { RespawnDeadPlayers(*game.level, game.now, game.out); }

TEST(Respawn, comes_back_after_3000_ms_at_a_drawn_spot_with_a_fresh_weapon)
{
    Game game(8, 3, 1, 1);
    int id = game.seat();
    int other = game.seat();
    game.slot(other).dead = false;
    Weapon* before = game.slot(id).weapon.get();
    game.clear();
    game.now += 2999;
    Respawn(game);
    EXPECT_TRUE(game.slot(id).dead);

    game.now += 1;
    game.random.push(31);    // x on a 1 × 1 map: 31 mod 32
    game.random.push(32 + 5);// y: 5
    game.random.push(0);     // weapon
    Respawn(game);
    Player& back = game.slot(id);
    EXPECT_FALSE(back.dead);
    EXPECT_EQ(back.health, 100);
    EXPECT_EQ(back.x, 31.0f);
    EXPECT_EQ(back.y, 5.0f);
    EXPECT_NE(back.weapon.get(), before);
    EXPECT_NE(back.weapon.get(), game.level->entities.weapons[0].get());
    EXPECT_EQ(back.weapon->lastFireTicks, game.now); // cooling from the respawn
    EXPECT_THAT(game.received(id), ElementsAre("Moved 1 31f 5f", "Alive 1"));
    EXPECT_THAT(game.received(other), ElementsAre("Moved 1 31f 5f", "Alive 1"));
    EXPECT_EQ(game.random.remaining(), 0u);
}

TEST(Respawn, several_players_in_one_pass_draw_slot_by_slot_and_disconnected_ones_stay_dead)
{
    Game game(8, 3, 10, 10);
    int a = game.seat();
    int gone = game.seat();
    int b = game.seat();
    game.slot(gone).connected = false;
    game.clear();
    game.now += 3000;
    for (int draw : {1, 2, 0, 3, 4, 0})
        game.random.push(draw);
    Respawn(game);
    EXPECT_EQ(game.slot(a).x, 1.0f);
    EXPECT_EQ(game.slot(b).x, 3.0f);
    EXPECT_TRUE(game.slot(gone).dead);
    EXPECT_THAT(game.received(a), ElementsAre("Moved 1 1f 2f", "Alive 1", "Moved 3 3f 4f", "Alive 3"));
}

} // namespace
} // namespace skirmish::testing

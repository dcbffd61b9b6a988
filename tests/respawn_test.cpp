#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "game/respawn.h"
#include "harness.h"

namespace skirmish::testing {
namespace {

using ::testing::ElementsAre;

void Respawn(Game& game) { RespawnDeadPlayers(*game.level, game.now, game.out); }

// Connected dead players come back slot by slot, each drawing x, y and a weapon in turn.
TEST(Respawn, comes_back_after_3000_ms_at_a_drawn_spot_with_a_fresh_weapon_and_disconnected_ones_stay_dead)
{
    Game game(8, 3, 1, 1);
    int id = game.seat();
    int gone = game.seat();
    int other = game.seat();
    game.slot(gone).connected = false;
    Weapon* before = game.slot(id).weapon.get();
    game.clear();
    game.now += 2999;
    Respawn(game);
    EXPECT_TRUE(game.slot(id).dead);

    game.now += 1;
    for (int draw : {31, 32 + 5, 0, 1, 2, 0}) // on a 1 × 1 map, each coordinate mod 32, then the weapon
        game.random.push(draw);
    Respawn(game);
    Player& back = game.slot(id);
    EXPECT_EQ(std::tuple(back.dead, back.health, back.x, back.y), std::tuple(false, 100, 31.0f, 5.0f));
    EXPECT_NE(back.weapon.get(), before);
    EXPECT_NE(back.weapon.get(), game.level->entities.weapons[0].get());
    EXPECT_EQ(back.weapon->lastFireTicks, game.now); // cooling from the respawn
    EXPECT_TRUE(game.slot(gone).dead);
    EXPECT_THAT(game.received(other), ElementsAre("Moved 1 31f 5f", "Alive 1", "Moved 3 1f 2f", "Alive 3"));
    EXPECT_EQ(game.random.remaining(), 0u);
}

} // namespace
} // namespace skirmish::testing

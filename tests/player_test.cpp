#include <gtest/gtest.h>

#include <string>

#include "game/player.h"

namespace skirmish {
namespace {

TEST(Player, moves_whole_on_one_axis_and_by_1_141_on_diagonals)
{
    Player player;
    player.x = 10;
    movePlayer(player, 3, 0);
    EXPECT_EQ(player.x, 13.0f);
    EXPECT_EQ(player.y, 0.0f);
    movePlayer(player, 0, 0);
    EXPECT_EQ(player.x, 13.0f);
    player.x = 10;
    movePlayer(player, 3, 4);
    EXPECT_EQ(player.x, 12.629272f);
    EXPECT_EQ(player.y, 3.5056968f);
    movePlayer(player, -2, 2);
    EXPECT_EQ(player.x, 12.629272f + static_cast<float>(-2 / 1.141));
}

TEST(Player, stored_names_keep_63_bytes_and_whole_characters)
{
    Player player;
    SetPlayerName(player, std::string(63, 'a'));
    EXPECT_EQ(player.name.size(), 63u);
    SetPlayerName(player, std::string(62, 'a') + "\xc3\xa9");
    EXPECT_EQ(player.name, std::string(62, 'a')); // the two-byte letter would not fit whole
}

} // namespace
} // namespace skirmish

#include <gtest/gtest.h>

#include <string>

#include "game/player.h"

namespace skirmish {
namespace {

// Moves are pinned to the bit by the command and exactness suites; here, the stored name.
TEST(Player, stored_names_keep_63_bytes_and_whole_characters)
{
    const std::pair<std::string, std::string> cases[] = {
        {std::string(64, 'a'), std::string(63, 'a')},
        {std::string(61, 'a') + "\xc3\xa9", std::string(61, 'a') + "\xc3\xa9"},
        {std::string(62, 'a') + "\xc3\xa9", std::string(62, 'a')}, // the two-byte letter would not fit whole
    };
    for (const auto& [given, kept] : cases) {
        Player player;
        SetPlayerName(player, given);
        EXPECT_EQ(player.name, kept);
    }
}

} // namespace
} // namespace skirmish

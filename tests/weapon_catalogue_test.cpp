#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "core/console.h"
#include "core/random.h"
#include "game/level.h"
#include "game/rooms.h"
#include "game/weapon_catalogue.h"

namespace skirmish {
namespace {

TEST(Catalogue, recipes_give_the_exact_values_and_console_lines)
{
    struct Row { std::initializer_list<int32_t> draws; const char* line; };
    const Row rows[] = {
        {{40, 2, 0, 4, 0, 4}, "Damage: 45, Period: 0.3125, numLines: 3, Spread: 5.875, Falloff: 0.03125"},
        {{40, 7, 3, 0, 9}, "Damage: 45, Period: 0.6875, numLines: 1, Spread: 33, Falloff: 0.6875"},
        {{40, 7, 3, 32767, 9}, "Damage: 45, Period: 1.3125, numLines: 1, Spread: 33, Falloff: 1.3125"},
        {{40, 7, 3, 16383, 9}, "Damage: 45, Period: 0.99999, numLines: 1, Spread: 33, Falloff: 0.99999"},
        {{84, 0, 0, 0, 7, 4}, "Damage: 89, Period: 0.618056, numLines: 20, Spread: 3.70833, Falloff: 0.494444"},
        {{84, 0, 0, 0, 7, 0}, "Damage: 89, Period: 0.618056, numLines: 8, Spread: 3.70833, Falloff: 0.494444"},
        {{0, 1, 14, 32767, 28}, "Damage: 5, Period: 6.54167, numLines: 1, Spread: 284, Falloff: 18.9708"},
    };
    for (const Row& row : rows) {
        ScriptedRandom script(row.draws);
        ScopedRandom use(script);
        std::ostringstream console;
        ScopedConsole capture(console);
        Level level(1, 10, 10, 1, 2);
        GenerateWeapons(level, 0);
        EXPECT_EQ(console.str(), std::string("Generated Weapon - ") + row.line + "\n");
        EXPECT_EQ(script.remaining(), 0u) << row.line;
        EXPECT_FALSE(script.ranDry()) << row.line;
    }
}

} // namespace
} // namespace skirmish

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>
#include <tuple>

#include "core/random.h"
#include "game/level.h"
#include "game/rooms.h"

namespace skirmish {

std::ostream& operator<<(std::ostream& out, const Room& r)
{
    return out << "(" << r.x << "," << r.y << "," << r.width << "," << r.height << ")";
}

namespace {

using ::testing::ElementsAre;

// Rooms only: an empty catalogue keeps the weapon draws out of the script.
std::vector<Room> Layout(int32_t sizeX, int32_t sizeY, int32_t rooms, std::initializer_list<int32_t> draws)
{
    ScriptedRandom script(draws);
    ScopedRandom use(script);
    Level level(rooms, sizeX, sizeY, 0, 2);
    GenerateRooms(level, 0);
    EXPECT_EQ(script.remaining(), 0u);
    EXPECT_FALSE(script.ranDry());
    return level.rooms;
}

TEST(Rooms, walk_with_strides_keeps_a_row_equal_to_size_y_and_resets_rows_past_it)
{
    // 10 × 10, 4 rooms: strides 20 + draw mod 10, sizes 2 to 4; the extra room's ranges (4, 3) give 4.
    EXPECT_THAT(Layout(10, 10, 4, {9, 0, 0, 9, 1, 1, 1, 2, 2, 9, 0, 0, 7, 7}),
                ElementsAre(Room{9, 2, 2, 2}, Room{8, 5, 3, 3}, Room{9, 7, 4, 4}, Room{8, 10, 2, 2}, Room{0, 10, 4, 4}));
    EXPECT_THAT(Layout(10, 10, 4, {9, 0, 0, 9, 0, 0, 9, 0, 0, 9, 0, 0, 0, 0}),
                ElementsAre(Room{9, 2, 2, 2}, Room{8, 5, 2, 2}, Room{7, 8, 2, 2}, Room{6, 0, 2, 2}, Room{0, 10, 4, 4}));
}

TEST(Rooms, narrow_and_crowded_maps_follow_c_remainders_and_empty_ranges)
{
    // 1 × 10, one room: a stride of −1 gives row −1, which is stored; width range (2, 2) draws nothing.
    EXPECT_THAT(Layout(1, 10, 1, {0, 5, 2, 3}), ElementsAre(Room{0, -1, 0, 7}, Room{0, 10, 6, 7}));
    // 3 × 3, ten rooms: every stride is 0 without a draw; sizes (2, 0) give 2 or 3.
    std::vector<Room> crowded = Layout(3, 3, 10, {0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1});
    EXPECT_EQ(crowded.front(), (Room{0, 0, 2, 3}));
    EXPECT_EQ(crowded.back(), (Room{0, 3, 4, 5}));
}

// Products of these sizes overflow 32 bits; the layout must still be defined (the sanitizer build checks).
TEST(Rooms, huge_maps_give_defined_layouts)
{
    const int32_t big = std::numeric_limits<int32_t>::max();
    for (auto [x, y, n] : {std::tuple{big, big, 1}, std::tuple{big, 1, 3}, std::tuple{1, big, 2}}) {
        Level level(n, x, y, 0, 2);
        level.seed = 7;
        GenerateRooms(level, 0);
        for (size_t i = 0; i < static_cast<size_t>(n); ++i) {
            EXPECT_LE(level.rooms[i].y, y);
            EXPECT_GE(level.rooms[i].width, 2);
        }
    }
}

} // namespace
} // namespace skirmish

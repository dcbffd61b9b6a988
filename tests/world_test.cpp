#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "combat/insta_weapon.h"
#include "combat/projectile_ids.h"
#include "combat/weapon_catalogue.h"
#include "core/clock.h"
#include "core/console.h"
#include "core/random.h"
#include "world/level.h"
#include "world/rooms.h"

namespace skirmish {
namespace {

using ::testing::ElementsAre;

struct Room {
    int32_t x, y, width, height;
    bool operator==(const Room&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Room& r)
{
    return out << "(" << r.x << "," << r.y << "," << r.width << "," << r.height << ")";
}

std::vector<Room> Rooms(const Level& level)
{
    std::vector<Room> rooms;
    for (size_t i = 0; i < level.roomX.size(); ++i)
        rooms.push_back({level.roomX[i], level.roomY[i], level.roomWidth[i], level.roomHeight[i]});
    return rooms;
}

// Rooms only: an empty catalogue keeps the weapon draws out of the script.
std::vector<Room> Layout(int32_t sizeX, int32_t sizeY, int32_t rooms, std::initializer_list<int32_t> draws)
{
    ScriptedRandom script(draws);
    ScopedRandom use(script);
    Level level(rooms, sizeX, sizeY, 0, 2);
    GenerateRooms(level);
    EXPECT_EQ(script.remaining(), 0u);
    EXPECT_FALSE(script.ranDry());
    return Rooms(level);
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

TEST(Rooms, seeded_layouts_stay_in_their_ranges)
{
    for (uint32_t seed = 0; seed < 50; ++seed) {
        Level level(8, 64, 64, 0, 2);
        level.seed = static_cast<int32_t>(seed);
        GenerateRooms(level);
        std::vector<Room> rooms = Rooms(level);
        int32_t previousRow = 0;
        for (size_t i = 0; i < 8; ++i) {
            EXPECT_GE(rooms[i].width, 2);
            EXPECT_LE(rooms[i].width, 15);
            EXPECT_GE(rooms[i].height, 2);
            EXPECT_LE(rooms[i].height, 15);
            EXPECT_TRUE(rooms[i].y == 0 || (rooms[i].y - previousRow >= 7 && rooms[i].y - previousRow <= 9))
                << "seed " << seed << " room " << i; // strides 496 to 527 from a column below 64
            previousRow = rooms[i].y;
        }
        EXPECT_EQ(rooms[8].x, 0);
        EXPECT_EQ(rooms[8].y, 64);
        EXPECT_GE(rooms[8].width, 4);
        EXPECT_LE(rooms[8].width, 11);
    }
}

// Products of these sizes overflow 32 bits; the layout must still be defined (the sanitizer build checks).
TEST(Rooms, huge_maps_give_defined_layouts)
{
    const int32_t big = std::numeric_limits<int32_t>::max();
    for (auto [x, y, n] : {std::tuple{big, big, 1}, std::tuple{big, 1, 3}, std::tuple{1, big, 2}}) {
        Level level(n, x, y, 0, 2);
        level.seed = 7;
        GenerateRooms(level);
        for (size_t i = 0; i < static_cast<size_t>(n); ++i) {
            EXPECT_LE(level.roomY[i], y);
            EXPECT_GE(level.roomWidth[i], 2);
        }
    }
}

TEST(Catalogue, recipes_give_the_exact_values_and_console_lines)
{
    struct Row {
        std::initializer_list<int32_t> draws;
        const char* line;
    };
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
        GenerateWeapons(level);
        EXPECT_EQ(console.str(), std::string("Generated Weapon - ") + row.line + "\n");
        EXPECT_EQ(script.remaining(), 0u) << row.line;
        EXPECT_FALSE(script.ranDry()) << row.line;
        ASSERT_NE(level.entities.weapons[0], nullptr);
    }
}

// The one sequence runs from the rooms through the catalogue; a fresh seed repeats all of it.
TEST(Catalogue, same_seed_gives_the_same_rooms_and_lines_and_the_sequence_continues)
{
    auto run = [](int32_t seed, std::string& lines, int32_t& nextDraw) {
        std::ostringstream console;
        ScopedConsole capture(console);
        Level level(4, 20, 20, 5, 2);
        level.seed = seed;
        GenerateRooms(level);
        lines = console.str();
        nextDraw = Random();
        return Rooms(level);
    };
    std::string firstLines, secondLines;
    int32_t firstNext, secondNext;
    EXPECT_EQ(run(1234, firstLines, firstNext), run(1234, secondLines, secondNext));
    EXPECT_EQ(firstLines, secondLines);
    EXPECT_EQ(firstNext, secondNext);
    std::string otherLines;
    int32_t otherNext;
    run(1235, otherLines, otherNext);
    EXPECT_NE(firstLines, otherLines);
}

TEST(Weapons, fire_draws_then_takes_an_id_per_projectile_and_spreads_around_the_angle)
{
    FakeClock clock(5000);
    ScopedClock useClock(clock);
    std::vector<std::string> calls;
    struct LoggingRandom : RandomGenerator {
        std::vector<std::string>* calls;
        std::deque<int32_t> draws{0, 32767, 16383};
        void seed(uint32_t) override {}
        int32_t next() override
        {
            calls->push_back("draw");
            int32_t d = draws.front();
            draws.pop_front();
            return d;
        }
    } random;
    random.calls = &calls;
    ScopedRandom useRandom(random);
    int32_t nextId = 40;
    IdSource ids = [&] {
        calls.push_back("id");
        return nextId++;
    };

    InstaWeapon weapon(7, 0.5f, 3, 10.0f, 2.5f);
    clock.advance(100);
    std::vector<Projectile> shot = weapon.fire(ids, 3, 4, 90, 6);
    EXPECT_THAT(calls, ElementsAre("draw", "id", "draw", "id", "draw", "id"));
    ASSERT_EQ(shot.size(), 3u);
    EXPECT_EQ(shot[0].angle, 85.0f);
    EXPECT_EQ(shot[1].angle, 95.0f);
    EXPECT_EQ(shot[0].id, 40);
    EXPECT_EQ(shot[2].id, 42);
    EXPECT_EQ(shot[1].x, 3.0f);
    EXPECT_EQ(shot[1].lifetime, 2.5f);
    EXPECT_EQ(shot[1].owner, 6);
    EXPECT_EQ(shot[1].damage, 7);
    EXPECT_EQ(shot[1].speed, 12.0f);
    EXPECT_EQ(shot[1].creationTime, 5100);
    EXPECT_EQ(weapon.lastFireTicks, 5100);
    EXPECT_EQ(weapon.getSpread(), 10.0f);
}

TEST(Weapons, no_spread_keeps_the_angle_and_no_lines_still_resets_the_cooldown)
{
    FakeClock clock(0);
    ScopedClock useClock(clock);
    ScriptedRandom random{123, 4567};
    ScopedRandom useRandom(random);
    InstaWeapon straight(1, 0.1f, 2, 0.0f, 1.0f);
    for (const Projectile& p : straight.fire(AllocateProjectileId, 0, 0, 33.3f, 1))
        EXPECT_EQ(p.angle, 33.3f);

    InstaWeapon empty(1, 0.1f, 0, 5.0f, 1.0f);
    clock.advance(250);
    int32_t idsBefore = TheProjectileIdPool().nextId;
    EXPECT_TRUE(empty.fire(AllocateProjectileId, 0, 0, 0, 1).empty());
    EXPECT_EQ(empty.lastFireTicks, 250);
    EXPECT_EQ(random.remaining(), 0u);
    EXPECT_FALSE(random.ranDry());
    EXPECT_EQ(TheProjectileIdPool().nextId, idsBefore);
}

TEST(Weapons, cooldown_is_strict_restarts_on_yes_and_clones_start_cooling)
{
    FakeClock clock(1000);
    ScopedClock useClock(clock);
    InstaWeapon weapon(10, 0.5f, 1, 3.0f, 1.0f);
    EXPECT_FALSE(weapon.canFire()); // fresh: cooling
    clock.advance(500);
    EXPECT_FALSE(weapon.canFire()); // 0.5 is not more than 0.5
    EXPECT_EQ(weapon.lastFireTicks, 1000);
    clock.advance(1);
    EXPECT_TRUE(weapon.canFire());
    EXPECT_FALSE(weapon.canFire());
    EXPECT_EQ(weapon.lastFireTicks, 1501);

    clock.advance(10000);
    std::unique_ptr<Weapon> copy = weapon.clone();
    EXPECT_FALSE(copy->canFire());
    EXPECT_EQ(copy->getSpread(), 3.0f);
    EXPECT_TRUE(weapon.canFire()); // the original stays ready
}

TEST(IdPool, fresh_ids_count_up_and_released_ones_come_back_oldest_first)
{
    TheProjectileIdPool() = ProjectileIdPool{};
    EXPECT_EQ(AllocateProjectileId(), 0);
    EXPECT_EQ(AllocateProjectileId(), 1);
    EXPECT_EQ(AllocateProjectileId(), 2);
    ReleaseProjectileId(1);
    ReleaseProjectileId(0);
    EXPECT_EQ(AllocateProjectileId(), 1);
    EXPECT_EQ(AllocateProjectileId(), 0);
    EXPECT_EQ(AllocateProjectileId(), 3);
    EXPECT_EQ(TheProjectileIdPool().nextId, 4);
}

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

TEST(Player, copies_clone_the_weapon_and_tables_copy_only_connected_slots)
{
    Player source;
    source.connected = true;
    source.name = "Ann";
    source.weapon = std::make_unique<InstaWeapon>(10, 0.5f, 1, 3.0f, 1.0f);
    Player copy = source;
    ASSERT_NE(copy.weapon, nullptr);
    EXPECT_NE(copy.weapon.get(), source.weapon.get());
    EXPECT_EQ(copy.weapon->damage, 10);
    source = Player{}; // destroying the source's weapon leaves the copy's intact
    EXPECT_EQ(copy.weapon->damage, 10);

    EntityTables tables(3, 2);
    EXPECT_TRUE(tables.projectiles.empty());
    for (const Player& p : tables.players) {
        EXPECT_FALSE(p.connected);
        EXPECT_EQ(p.name, "UnNamed");
        EXPECT_EQ(p.id, -1);
    }
    tables.players[1] = copy;
    tables.players[2].name = "not connected";
    tables.weapons[0] = std::make_unique<InstaWeapon>(20, 0.5f, 1, 3.0f, 1.0f);
    EntityTables other(1, 1);
    other.projectiles.push_back(Projectile{.id = 5});
    other = tables;
    EXPECT_EQ(other.playerCount, 3);
    EXPECT_EQ(other.players[1].name, "Ann");
    EXPECT_EQ(other.players[2].name, "UnNamed");
    EXPECT_NE(other.weapons[0].get(), tables.weapons[0].get());
    EXPECT_EQ(other.weapons[1], nullptr);
    EXPECT_EQ(other.projectiles.size(), 1u); // the target keeps its own projectiles
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

// Float results that clients reproduce, pinned to the bit from fixed seeds. The
// same suite runs natively and cross-built for arm64: a compiler that fuses a
// multiply and an add (or a libm that rounds differently) shows up here first.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "core/console.h"
#include "core/random.h"
#include "game/flight.h"
#include "game/insta_weapon.h"
#include "game/level.h"
#include "game/rooms.h"

namespace skirmish {
namespace {

// Every bit of a float, readably: hexadecimal floating point.
std::string Hex(float value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%a", static_cast<double>(value));
    return text;
}

struct NoOutbox final : Outbox {
    void toPlayer(int, const MessageWriter&) override {}
    void toAll(const MessageWriter&) override {}
};

// A level laid out from a seed: its rooms and its catalogue, every float in hex.
std::pair<std::string, std::string> Generated(int32_t seed, int32_t sizeX, int32_t sizeY, int32_t rooms, int32_t weapons)
{
    std::ostringstream quiet;
    ScopedConsole capture(quiet);
    Level level(rooms, sizeX, sizeY, weapons, 2);
    level.seed = seed;
    GenerateRooms(level, 0);
    std::string layout, catalogue;
    for (const Room& r : level.rooms)
        layout += std::to_string(r.x) + "," + std::to_string(r.y) + "," + std::to_string(r.width) + "," +
                  std::to_string(r.height) + " ";
    for (const auto& entry : level.entities.weapons) {
        const auto& w = static_cast<const InstaWeapon&>(*entry);
        catalogue += std::to_string(w.damage) + " " + Hex(w.period) + " " + std::to_string(w.numLines) + " " +
                     Hex(w.spread) + " " + Hex(w.falloff) + "\n";
    }
    return {layout, catalogue};
}

// The catalogue: both recipes (cooldown first, spread first) and both burst sizes (computed,
// and raised to 3). The rooms: the extra room's size is the layout's one floating-point step.
TEST(Exactness, a_seeded_catalogue_and_rooms_are_the_same_to_the_bit)
{
    // damage, period, numLines, spread, falloff
    EXPECT_EQ(Generated(1767225600, 40, 30, 3, 6).second, "45 0x1.02fcc6p-1 1 0x1.011ecap+3 0x1.ec1378p-1\n"
                                                         "52 0x1.950d46p-1 1 0x1.2fc9f4p+2 0x1.e60fecp-1\n"
                                                         "24 0x1.15958p-2 1 0x1.940c08p+3 0x1.76bd06p-1\n"
                                                         "47 0x1.0944b6p-1 3 0x1.8379c4p+3 0x1.a86dfp-5\n"
                                                         "15 0x1.19ebcp+1 1 0x1.ap+6 0x1.8ab072p+2\n"
                                                         "76 0x1.5693a2p-1 4 0x1.fc35e6p+4 0x1.120fb4p-2\n");
    EXPECT_EQ(Generated(-7, 1000, 7, 13, 0).first, "476,0,133,2 46,1,77,2 603,1,78,2 168,2,95,2 629,2,129,2 152,3,11,2 617,3,108,2 "
                                      "192,4,59,2 718,4,20,2 298,5,27,2 798,5,15,2 342,6,12,2 938,6,55,2 0,7,110,6 ");
}

// Draws at the cone's middle cancel almost all of the offset: what is left are
// the bits a fused multiply-subtract would round differently.
TEST(Exactness, offsets_at_the_middle_of_the_cone_keep_their_last_bits)
{
    ScriptedRandom draws{16383, 16384, 0, 32767};
    ScopedRandom use(draws);
    InstaWeapon weapon(10, 0.5f, 4, 0x1.ff7cp+2f, 0.25f, 0);
    std::string angles;
    for (const Projectile& p : weapon.fire([] { return 0; }, 0, 0, 0.0f, 1, 0))
        angles += Hex(p.angle) + " ";
    EXPECT_EQ(angles, "-0x1.ff8p-14 0x1.ff8p-14 -0x1.ff7cp+1 0x1.ff7cp+1 ");
}

// Two projectiles over two seconds, and one whose step lands a hair from x = 0, keeping only
// the bits below the cancelled ones: there a fused multiply-add gives another float than a
// multiply, then an add.
TEST(Exactness, a_projectile_flies_the_same_positions_to_the_bit_even_beside_zero)
{
    Level level(1, 10, 10, 0, 2), nearZero(1, 10, 10, 0, 2);
    level.entities.projectiles.push_back(Projectile{.id = 1, .x = 1000.5f, .y = -20.25f, .angle = 33.7f});
    level.entities.projectiles.push_back(Projectile{.id = 2, .x = 3.0f, .y = 7.0f, .angle = -271.3f});
    nearZero.entities.projectiles.push_back(Projectile{.id = 1, .x = -0x1.0c0164p-1f, .y = 5.0f, .angle = 2.5f});
    NoOutbox out;
    std::string path;
    for (int step = 0; step < 120; ++step) {
        MoveProjectiles(level, out);
        if (step % 60 == 59)
            for (const Projectile& p : level.entities.projectiles)
                path += Hex(p.x) + "," + Hex(p.y) + " ";
    }
    EXPECT_EQ(path, "0x1.5dff0cp+10,-0x1.35a0d2p+9 0x1.69684p+9,-0x1.2a96aap+3 "
                    "0x1.c1de14p+10,-0x1.3090d2p+10 0x1.68a84ep+10,-0x1.9a96ccp+4 ");
    MoveProjectiles(nearZero, out);
    EXPECT_EQ(Hex(nearZero.entities.projectiles.front().x), "0x1.c53e74p-29");
}

} // namespace
} // namespace skirmish

#include "game/rooms.h"

#include <algorithm>
#include <limits>

#include "core/random.h"
#include "game/weapon_catalogue.h"

namespace skirmish {
namespace {

// Room rows of absurd maps can walk past the 32-bit range; they are stored saturated.
int32_t Saturate(int64_t value)
{
    return static_cast<int32_t>(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}

} // namespace

int64_t RandomRange(int64_t lo, int64_t hi)
{
    if (hi == lo)
        return 0;
    return lo + Random() % (hi - lo);
}

void GenerateRooms(Level& level, int32_t now)
{
    SeedRandom(static_cast<uint32_t>(level.seed));
    // Products are formed in 64 bits: identical to 32-bit arithmetic wherever that
    // does not overflow, and defined for maps where it would.
    const int64_t sizeX = level.sizeX;
    const int64_t sizeY = level.sizeY;
    const int64_t n = level.roomCount();
    const int64_t average = (sizeX * sizeY) / n;
    const int64_t spread = (sizeX + sizeY) / n;
    int64_t column = 0;
    int64_t row = 0;
    for (int64_t i = 0; i < n; ++i) {
        int64_t stride = RandomRange(average - spread, average + spread);
        int64_t s = column + stride;
        row += s / sizeX;
        column = s % sizeX;
        // Only rows past the map restart at 0; a row equal to sizeY stays.
        if (row > sizeY)
            row = 0;
        Room& room = level.rooms[static_cast<size_t>(i)];
        room.x = Saturate(column);
        room.y = Saturate(row);
        room.width = Saturate(RandomRange(2, (2 * sizeX) / n));
        room.height = Saturate(RandomRange(2, (2 * sizeY) / n));
    }
    Room& extra = level.rooms[static_cast<size_t>(n)];
    extra.x = 0;
    extra.y = level.sizeY;
    extra.width = Saturate(RandomRange(4, static_cast<int64_t>(static_cast<double>(sizeX) * 1.5 / n)));
    extra.height = Saturate(RandomRange(4, static_cast<int64_t>(static_cast<double>(sizeY) * 1.5 / n)));
    GenerateWeapons(level, now);
}

} // namespace skirmish

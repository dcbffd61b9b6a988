#include "game/level.h"

namespace skirmish {

EntityTables::EntityTables(int32_t playerCount, int32_t weaponCount)
    : players(static_cast<size_t>(playerCount)), weapons(static_cast<size_t>(weaponCount))
{
}

Level::Level(int32_t roomCount, int32_t sizeX, int32_t sizeY, int32_t weaponCount, int32_t playerCount)
    : rooms(static_cast<size_t>(roomCount) + 1), sizeX(sizeX), sizeY(sizeY), entities(playerCount, weaponCount)
{
}

Player* PlayerSlot(Level& level, int id)
{
    if (id < 0 || static_cast<size_t>(id) >= level.entities.players.size())
        return nullptr;
    return &level.entities.players[static_cast<size_t>(id)];
}

} // namespace skirmish

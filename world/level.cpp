#include "world/level.h"

namespace skirmish {

EntityTables::EntityTables(int32_t playerCount, int32_t weaponCount)
    : playerCount(playerCount), players(static_cast<size_t>(playerCount)), weaponCount(weaponCount),
      weapons(static_cast<size_t>(weaponCount))
{
}

EntityTables::EntityTables(const EntityTables& other) : EntityTables(0, 0) { *this = other; }

EntityTables& EntityTables::operator=(const EntityTables& other)
{
    if (this == &other)
        return *this;
    std::vector<Player> slots(other.players.size());
    for (size_t i = 0; i < other.players.size(); ++i)
        if (other.players[i].connected)
            slots[i] = other.players[i];
    std::vector<std::unique_ptr<Weapon>> catalogue(other.weapons.size());
    for (size_t i = 0; i < other.weapons.size(); ++i)
        if (other.weapons[i])
            catalogue[i] = other.weapons[i]->clone();
    players = std::move(slots);
    weapons = std::move(catalogue);
    playerCount = other.playerCount;
    weaponCount = other.weaponCount;
    return *this;
}

Level::Level(int32_t roomCount, int32_t sizeX, int32_t sizeY, int32_t weaponCount, int32_t playerCount)
    : roomX(static_cast<size_t>(roomCount) + 1), roomY(static_cast<size_t>(roomCount) + 1),
      roomWidth(static_cast<size_t>(roomCount) + 1), roomHeight(static_cast<size_t>(roomCount) + 1), sizeX(sizeX),
      sizeY(sizeY), roomCount(roomCount), entities(playerCount, weaponCount)
{
}

Player* PlayerSlot(Level& level, int id)
{
    if (id < 0 || static_cast<size_t>(id) >= level.entities.players.size())
        return nullptr;
    return &level.entities.players[static_cast<size_t>(id)];
}

} // namespace skirmish

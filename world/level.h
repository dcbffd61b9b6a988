#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <vector>

#include "combat/projectile.h"
#include "combat/weapon.h"
#include "world/player.h"

namespace skirmish {

// Player slots, the weapon catalogue and the live projectiles.
struct EntityTables {
    EntityTables(int32_t playerCount, int32_t weaponCount);
    // A copy takes the connected slots (each weapon cloned) and a cloned catalogue;
    // assignment keeps the target's own projectiles.
    EntityTables(const EntityTables& other);
    EntityTables& operator=(const EntityTables& other);

    int32_t playerCount;
    std::vector<Player> players; // slot i holds the player whose id is i
    int32_t weaponCount;
    std::vector<std::unique_ptr<Weapon>> weapons; // the catalogue; empty until generated
    std::list<Projectile> projectiles;             // oldest first
};

// The whole world of one run.
struct Level {
    Level(int32_t roomCount, int32_t sizeX, int32_t sizeY, int32_t weaponCount, int32_t playerCount);

    // roomCount + 1 entries each: the rooms, then one extra room below the map. Tiles.
    std::vector<int32_t> roomX;
    std::vector<int32_t> roomY;
    std::vector<int32_t> roomWidth;
    std::vector<int32_t> roomHeight;
    int32_t sizeX; // tiles
    int32_t sizeY;
    int32_t roomCount;
    int32_t seed = 0;
    EntityTables entities;
};

// The slot of a player id, or nullptr for an id that has none.
Player* PlayerSlot(Level& level, int id);

// One tile spans this many map units.
constexpr int64_t kTileSize = 32;

} // namespace skirmish

#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <vector>

#include "game/player.h"
#include "game/projectile.h"
#include "game/weapon.h"

namespace skirmish {

// Player slots, the weapon catalogue and the live projectiles.
struct EntityTables {
    EntityTables(int32_t playerCount, int32_t weaponCount);

    std::vector<Player> players;                   // slot i holds the player whose id is i
    std::vector<std::unique_ptr<Weapon>> weapons; // the catalogue; empty entries until generated
    std::list<Projectile> projectiles;             // oldest first
    // Movement ticks taken so far, wrapping: the steps a client that flies a
    // projectile itself counts.
    int32_t movementTicks = 0;
};

// One room, in tiles.
struct Room {
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;

    bool operator==(const Room&) const = default;
};

// The whole world of one run.
struct Level {
    Level(int32_t roomCount, int32_t sizeX, int32_t sizeY, int32_t weaponCount, int32_t playerCount);

    // The rooms, then one extra room below the map.
    int32_t roomCount() const { return static_cast<int32_t>(rooms.size() - 1); }

    std::vector<Room> rooms;
    int32_t sizeX; // tiles
    int32_t sizeY;
    int32_t seed = 0;
    EntityTables entities;
};

// The slot of a player id, or nullptr for an id that has none.
Player* PlayerSlot(Level& level, int id);

// One tile spans this many map units.
constexpr int64_t kTileSize = 32;

} // namespace skirmish

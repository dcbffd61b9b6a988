#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "combat/weapon.h"

namespace skirmish {

// Health after every respawn.
constexpr int32_t kFullHealth = 100;

// A name holds at most this many bytes.
constexpr size_t kMaxNameBytes = 63;

// One player slot. Copying a record clones its weapon: no two records share one.
struct Player {
    Player();
    Player(const Player& other);
    Player& operator=(const Player& other);
    Player(Player&&) noexcept = default;
    Player& operator=(Player&&) noexcept = default;
    ~Player() = default;

    int32_t id = -1;
    std::string name = "UnNamed";
    float x = 0;
    float y = 0;
    float rotation = 0; // degrees, as last sent by the client
    int32_t health = 0;
    bool dead = true;
    bool connected = false;
    int32_t deathTime; // clock reading of the last death, join or name change
    std::unique_ptr<Weapon> weapon;
};

// Moves by one step; a diagonal step is shortened by 1/1.141 on each axis. No bounds.
void movePlayer(Player& player, float dx, float dy);

// Brings the player back at (x, y) with full health and tells every client.
void respawnAt(Player& player, float x, float y);

// Stores at most kMaxNameBytes of name, never splitting a UTF-8 sequence.
void SetPlayerName(Player& player, std::string_view name);

} // namespace skirmish

#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/console.h"
#include "game/outbox.h"
#include "game/weapon.h"

namespace skirmish {

// Health after every respawn.
constexpr int32_t kFullHealth = 100;

// A name holds at most this many bytes.
constexpr size_t kMaxNameBytes = 63;

// One player slot. It owns its weapon, so a record moves but is never copied.
struct Player {
    int32_t id = -1;
    std::string name = "UnNamed";
    float x = 0;
    float y = 0;
    float rotation = 0; // degrees, as last sent by the client
    int32_t health = 0;
    bool dead = true;
    bool connected = false;
    int32_t deathTime = 0; // clock reading of the last death, join or name change
    std::unique_ptr<Weapon> weapon;
    LineBudget consoleLines; // what this client's commands may write to the console
};

// Moves by one step. The movement rule shortens a diagonal step by dividing each
// axis by 1.141 (a deliberate constant of the rule, not an approximation of √2). No bounds.
void movePlayer(Player& player, float dx, float dy);

// Brings the player back at (x, y) with full health and tells every client.
void respawnAt(Player& player, float x, float y, Outbox& out);

// Whether a console line that this player's command causes is written now: first
// reports what was withheld in a second that is over, then asks the budget.
bool MayWriteLine(Player& player, int32_t now);

// Writes how many of this player's lines were withheld, once their second is over
// (ended: at once, as the player leaves).
void ReportWithheldLines(Player& player, int32_t now, bool ended = false);

// Stores at most kMaxNameBytes of name, never splitting a UTF-8 sequence.
void SetPlayerName(Player& player, std::string_view name);

} // namespace skirmish

#pragma once

#include <cstdint>
#include <span>

#include "game/level.h"
#include "game/outbox.h"

namespace skirmish {

// Texts a command reads (its word, a name, a chat line) keep at most this many bytes.
constexpr size_t kMaxCommandTextBytes = 255;

// Handles one client message from the player with id `from` at the time now: runs
// the command its first text names, or logs the word as unmatched and changes
// nothing. Words are compared whole, byte for byte.
void HandleMessage(Level& level, int from, std::span<const uint8_t> message, int32_t now, Outbox& out);

// Sends one player the whole level: rooms, connected players, live projectiles.
void SendLevelSnapshot(const Level& level, int to, Outbox& out);
// The bytes the level's snapshot takes as it stands, in its longest layout: each
// message in version 1 behind its two-byte length.
size_t SnapshotBytes(const Level& level);

} // namespace skirmish

#pragma once

#include <cstddef>

#include "world/level.h"

namespace skirmish {

// Size of the buffer that holds a command word (and, for "Name", the new name).
constexpr size_t kCommandBufferSize = 256;

// Runs the client command named by word for the current message's sender. word
// is the main loop's kCommandBufferSize buffer and may be overwritten. False when
// the word is none of the commands: then nothing is read, sent or changed.
bool DispatchCommand(char* word, Level& level);

// Sends one player the whole level: rooms, connected players, live projectiles.
void SendLevelSnapshot(const Level& level, int to);

} // namespace skirmish

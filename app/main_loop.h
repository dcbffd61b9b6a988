#pragma once

#include <cstdint>

#include "net/dispatch.h"
#include "world/level.h"

namespace skirmish {

// A movement tick is due once strictly more than 1/60 s has passed: with a clock
// in whole milliseconds, at 17 ms.
constexpr int32_t kMovementTickMs = 17;

// After a pass that took input, the next one waits at most this long for more.
constexpr int32_t kInputBatchMs = 1;

// What the loop keeps between passes.
struct LoopState {
    int32_t tickReference; // clock reading of the last movement tick
    char buffer[kCommandBufferSize] = {};
};

// One pass: a join, a leave, the movement tick when due, hits and expiry,
// respawns, then every waiting client message. True when it took a join, a
// leave or a message.
bool RunPass(Level& level, LoopState& loop);

// Milliseconds until the loop next has timed work (tick, expiry, respawn), at most one tick.
int32_t MillisecondsUntilDue(const Level& level, const LoopState& loop, int32_t now);

// Runs passes until hosting ends, waiting for the network between them only
// until the next timed work is due.
void RunMainLoop(Level& level, int32_t tickReference);

} // namespace skirmish

#pragma once

#include <algorithm>
#include <cstdint>

#include "core/clock.h"

namespace skirmish {

// Each timed rule is a delay in whole milliseconds after a clock reading. The same
// two functions decide when the rule acts and when the loop must wake for it.

// True once delayMs have passed since the reading `since`.
inline bool Due(int32_t now, int32_t since, int32_t delayMs) { return ElapsedMs(now, since) >= delayMs; }

// Milliseconds from now until Due turns true; 0 when it already is.
inline int64_t MsUntilDue(int32_t now, int32_t since, int32_t delayMs)
{
    return std::max<int64_t>(0, static_cast<int64_t>(delayMs) - ElapsedMs(now, since));
}

// A movement tick is due once strictly more than 1/60 s has passed: with a clock
// in whole milliseconds, at 17 ms.
constexpr int32_t kMovementTickMs = 17;
static_assert(16 / 1000.0 <= 1.0 / 60 && 17 / 1000.0 > 1.0 / 60);

// A dead player comes back once more than two whole seconds have passed (the
// elapsed time is truncated to seconds): 2999 ms still waits, 3000 ms comes back.
constexpr int32_t kRespawnDelayMs = 3000;

} // namespace skirmish

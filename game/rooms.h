#pragma once

#include <cstdint>

#include "game/level.h"

namespace skirmish {

// lo + (a draw mod (hi − lo)), with C's remainder; 0 for an empty range, without a draw.
// Wide integers, so that the ranges of very large maps stay defined.
int64_t RandomRange(int64_t lo, int64_t hi);

// Seeds the generator with the level's seed, lays out the rooms by a walk along
// the rows with random strides, adds the extra room below the map, then builds
// the weapon catalogue (made at now) from the same sequence.
void GenerateRooms(Level& level, int32_t now);

} // namespace skirmish

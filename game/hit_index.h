#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "game/level.h"

namespace skirmish {

// The players a projectile could hit, bucketed by cells as wide as the hit box,
// so a hit test looks at the few players near the projectile instead of every
// slot. It answers exactly what a walk over all slots in order would.
class HitIndex {
public:
    // Indexes every connected, living player with a finite position.
    void build(EntityTables& entities);
    // The lowest slot whose player the projectile hits now (dead, disconnected
    // and the owner are passed through), or nullptr.
    Player* firstHit(const Projectile& projectile) const;

private:
    std::vector<std::pair<int64_t, Player*>> cells_; // (cell key, player), sorted; slot order within a cell
};

// Whether the projectile lies in the open 40 × 40 box around the player's truncated position.
bool InHitBox(const Player& player, const Projectile& projectile);

} // namespace skirmish

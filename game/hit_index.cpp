#include "game/hit_index.h"

#include <algorithm>
#include <cmath>

#include "core/whole_number.h"

namespace skirmish {
namespace {

// Half the side of the open square in which a projectile hits a player.
constexpr int64_t kHitBoxHalf = 20;
constexpr int64_t kCellSize = 2 * kHitBoxHalf;
// Truncated positions lie within the 32-bit range; a projectile farther out hits nobody.
constexpr double kReach = 4294967296.0;

int64_t CellOf(double coordinate) { return static_cast<int64_t>(std::floor(coordinate / kCellSize)); }

int64_t Key(int64_t cellX, int64_t cellY) { return (cellX << 32) ^ (cellY & 0xFFFFFFFF); }

} // namespace

bool InHitBox(const Player& player, const Projectile& projectile)
{
    if (!std::isfinite(player.x) || !std::isfinite(player.y) || !std::isfinite(projectile.x) ||
        !std::isfinite(projectile.y))
        return false;
    // Bounds are formed in 64 bits so positions near the 32-bit limits cannot overflow them.
    int64_t px = TruncateToInt32(player.x);
    int64_t py = TruncateToInt32(player.y);
    double x = projectile.x;
    double y = projectile.y;
    return static_cast<double>(px - kHitBoxHalf) < x && x < static_cast<double>(px + kHitBoxHalf) &&
           static_cast<double>(py - kHitBoxHalf) < y && y < static_cast<double>(py + kHitBoxHalf);
}

void HitIndex::build(EntityTables& entities)
{
    cells_.clear();
    for (Player& player : entities.players) {
        if (!player.connected || player.dead || !std::isfinite(player.x) || !std::isfinite(player.y))
            continue;
        int64_t px = TruncateToInt32(player.x);
        int64_t py = TruncateToInt32(player.y);
        cells_.emplace_back(Key(CellOf(static_cast<double>(px)), CellOf(static_cast<double>(py))), &player);
    }
    // Stable: within a cell, players keep their slot order.
    std::stable_sort(cells_.begin(), cells_.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
}

Player* HitIndex::firstHit(const Projectile& projectile) const
{
    if (cells_.empty() || !std::isfinite(projectile.x) || !std::isfinite(projectile.y) ||
        std::fabs(projectile.x) > kReach || std::fabs(projectile.y) > kReach)
        return nullptr;
    // A player within 20 units on both axes has its truncated position in one of these cells.
    const double x = projectile.x;
    const double y = projectile.y;
    Player* first = nullptr;
    for (int64_t cx = CellOf(x - kHitBoxHalf); cx <= CellOf(x + kHitBoxHalf); ++cx) {
        for (int64_t cy = CellOf(y - kHitBoxHalf); cy <= CellOf(y + kHitBoxHalf); ++cy) {
            auto key = Key(cx, cy);
            auto it = std::lower_bound(cells_.begin(), cells_.end(), key,
                                       [](const auto& entry, int64_t k) { return entry.first < k; });
            for (; it != cells_.end() && it->first == key; ++it) {
                Player* player = it->second;
                // Hits earlier in this pass may have killed a player since the index was built.
                if (player->dead || !player->connected || player->id == projectile.owner)
                    continue;
                if (first && first < player)
                    break;
                if (InHitBox(*player, projectile)) {
                    first = player;
                    break;
                }
            }
        }
    }
    return first;
}

} // namespace skirmish

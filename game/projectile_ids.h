#pragma once

#include <cstdint>
#include <deque>

namespace skirmish {

// The process-wide source of projectile ids: ids given back are handed out
// again, longest-returned first, before a new one is minted.
struct ProjectileIdPool {
    int32_t nextId = 0;
    std::deque<int32_t> released;
};

int32_t AllocateProjectileId();
void ReleaseProjectileId(int32_t id);

// The pool itself, for tests that start from a fresh one.
ProjectileIdPool& TheProjectileIdPool();

} // namespace skirmish

#include "game/projectile_ids.h"

namespace skirmish {

ProjectileIdPool& TheProjectileIdPool()
{
    static ProjectileIdPool pool;
    return pool;
}

int32_t AllocateProjectileId()
{
    ProjectileIdPool& pool = TheProjectileIdPool();
    if (pool.released.empty())
        return pool.nextId++;
    int32_t id = pool.released.front();
    pool.released.pop_front();
    return id;
}

void ReleaseProjectileId(int32_t id) { TheProjectileIdPool().released.push_back(id); }

} // namespace skirmish

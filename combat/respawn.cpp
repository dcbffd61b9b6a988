#include "combat/respawn.h"

#include "combat/weapon_catalogue.h"
#include "core/clock.h"
#include "core/random.h"
#include "net/messages.h"

namespace skirmish {
namespace {

bool DueBack(const Player& player)
{
    if (!player.connected || !player.dead)
        return false;
    // Whole seconds, truncated: 2999 ms still waits, 3000 ms comes back.
    return ElapsedMs(ReadClock(), player.deathTime) / 1000 > 2;
}

// A coordinate from 0 to one less than the map's extent in map units. The extent
// is formed in 64 bits, so no map size overflows it or makes it zero; a draw never
// exceeds 32767, so on maps wider than 1024 tiles positions stay below 32768.
float RandomCoordinate(int32_t tiles) { return static_cast<float>(Random() % (static_cast<int64_t>(tiles) * kTileSize)); }

} // namespace

void RespawnDeadPlayers(Level& level)
{
    EntityTables& entities = level.entities;
    for (Player& player : entities.players) {
        if (!DueBack(player))
            continue;
        float x = RandomCoordinate(level.sizeX);
        float y = RandomCoordinate(level.sizeY);
        player.health = kFullHealth;
        player.dead = false;
        player.x = x;
        player.y = y;
        BroadcastMoved(player.id, player.x, player.y);
        player.weapon = CloneRandomCatalogueWeapon(entities);
        BroadcastAlive(player.id);
    }
}

} // namespace skirmish

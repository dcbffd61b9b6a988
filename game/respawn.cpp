#include "game/respawn.h"

#include "core/random.h"
#include "game/timers.h"
#include "game/weapon_catalogue.h"
#include "protocol/messages.h"

namespace skirmish {
namespace {

// A coordinate from 0 to one less than the map's extent in map units. The extent
// is formed in 64 bits, so no map size overflows it or makes it zero; a draw never
// exceeds 32767, so on maps wider than 1024 tiles positions stay below 32768.
float RandomCoordinate(int32_t tiles) { return static_cast<float>(Random() % (static_cast<int64_t>(tiles) * kTileSize)); }

} // namespace

bool RespawnDeadPlayers(Level& level, int32_t now, Outbox& out)
{
    bool any = false;
    for (Player& player : level.entities.players) {
        if (!WaitsToRespawn(player) || !Due(now, player.deathTime, kRespawnDelayMs))
            continue;
        float x = RandomCoordinate(level.sizeX);
        float y = RandomCoordinate(level.sizeY);
        respawnAt(player, x, y, out);
        player.weapon = CloneRandomCatalogueWeapon(level.entities, now);
        out.toAll(message::Alive(player.id));
        any = true;
    }
    return any;
}

} // namespace skirmish

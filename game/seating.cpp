#include "game/seating.h"

#include "core/console.h"
#include "game/weapon_catalogue.h"
#include "protocol/messages.h"

namespace skirmish {

void SeatPlayer(Level& level, int id, std::string_view address, int32_t now, Outbox& out)
{
    ConsoleLine("Player ID ", id, " has joined the game from ", EscapeForConsole(address));
    out.toPlayer(id, message::Greeting());
    Player* slot = PlayerSlot(level, id);
    if (!slot)
        return;
    Player joined;
    joined.weapon = CloneRandomCatalogueWeapon(level.entities, now);
    joined.id = id;
    joined.name = "unnamed";
    joined.health = 0;
    joined.dead = true;
    joined.connected = true;
    joined.deathTime = now;
    *slot = std::move(joined);
}

void ReleasePlayer(Level& level, int id, Outbox& out)
{
    ConsoleLine("Player ID ", id, " has left the game.");
    if (Player* slot = PlayerSlot(level, id))
        slot->connected = false;
    out.toAll(message::Left(id));
}

bool NobodyConnected(const Level& level)
{
    for (const Player& player : level.entities.players)
        if (player.connected)
            return false;
    return true;
}

} // namespace skirmish

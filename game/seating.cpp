#include "game/seating.h"

#include <algorithm>

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
    Player* slot = PlayerSlot(level, id);
    if (slot)
        ReportWithheldLines(*slot, 0, true);
    ConsoleLine("Player ID ", id, " has left the game.");
    if (slot)
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

void ReportWithheldLines(Level& level, int32_t now)
{
    for (Player& player : level.entities.players)
        ReportWithheldLines(player, now);
}

std::optional<int32_t> MsUntilWithheldLinesReport(const Level& level, int32_t now)
{
    std::optional<int32_t> due;
    for (const Player& player : level.entities.players)
        if (int64_t wait = player.consoleLines.msUntilReport(now); wait >= 0)
            due = std::min<int32_t>(due.value_or(LineBudget::kSecondMs), static_cast<int32_t>(wait));
    return due;
}

} // namespace skirmish

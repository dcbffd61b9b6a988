#include "game/player.h"

#include "core/console.h"
#include "protocol/messages.h"

namespace skirmish {

void movePlayer(Player& player, float dx, float dy)
{
    if (dx == 0 || dy == 0) {
        player.x += dx;
        player.y += dy;
        return;
    }
    player.x += static_cast<float>(dx / 1.141);
    player.y += static_cast<float>(dy / 1.141);
}

void respawnAt(Player& player, float x, float y, Outbox& out)
{
    player.x = x;
    player.y = y;
    player.health = kFullHealth;
    player.dead = false;
    out.toAll(message::Moved(player.id, player.x, player.y));
}

void SetPlayerName(Player& player, std::string_view name)
{
    if (name.size() > kMaxNameBytes) {
        size_t cut = kMaxNameBytes;
        // Step back over UTF-8 continuation bytes so the stored name stays whole characters.
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80)
            --cut;
        name = name.substr(0, cut);
    }
    player.name.assign(name);
}

void ReportWithheldLines(Player& player, int32_t now, bool ended)
{
    if (uint64_t withheld = player.consoleLines.takeWithheld(now, ended))
        ConsoleLine("Player ID ", player.id, ": ", withheld, " more lines in one second were not written.");
}

bool MayWriteLine(Player& player, int32_t now)
{
    ReportWithheldLines(player, now);
    return player.consoleLines.allow(now);
}

} // namespace skirmish

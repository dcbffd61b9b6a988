#include "net/dispatch.h"

#include <cmath>
#include <cstring>

#include "combat/projectile_ids.h"
#include "core/clock.h"
#include "core/console.h"
#include "core/whole_number.h"
#include "net/messages.h"
#include "net/net.h"

namespace skirmish {
namespace {

struct Command {
    const char* word;
    void (*run)(Level& level, Player& sender, int senderId, char* buffer);
};

// Non-finite values would poison the world and reach every client; such a command is dropped.
void Move(Level&, Player& sender, int senderId, char*)
{
    float dx = NetGetFloat();
    float dy = NetGetFloat();
    if (!std::isfinite(dx) || !std::isfinite(dy))
        return;
    movePlayer(sender, dx, dy);
    BroadcastMoved(senderId, WholeNumber(sender.x), WholeNumber(sender.y));
}

void Rotate(Level&, Player& sender, int senderId, char*)
{
    float rotation = NetGetFloat();
    if (!std::isfinite(rotation))
        return;
    sender.rotation = rotation;
    BroadcastRotated(senderId, sender.rotation);
}

void Chat(Level&, Player&, int senderId, char*)
{
    char text[kCommandBufferSize];
    NetGetString(text, sizeof text);
    BroadcastPlayerMessage(senderId, text);
}

// Places the player at room-table entry 1, its tiles taken as map units, then
// moves it by the two offsets: the first integer moves y, the second x.
void Respawn(Level& level, Player& sender, int senderId, char*)
{
    ConsoleLine("Respawn requested by ", senderId);
    respawnAt(sender, static_cast<float>(level.roomX[1]), static_cast<float>(level.roomY[1]));
    int32_t yOffset = NetGetInt();
    int32_t xOffset = NetGetInt();
    movePlayer(sender, static_cast<float>(xOffset), static_cast<float>(yOffset));
    BroadcastMoved(senderId, WholeNumber(sender.x), WholeNumber(sender.y));
    BroadcastAlive(senderId);
}

void Name(Level& level, Player& sender, int senderId, char* buffer)
{
    NetGetString(buffer, kCommandBufferSize);
    ConsoleLine("Player ", senderId, " updated name to ", EscapeForConsole(buffer));
    SetPlayerName(sender, buffer);
    SendLevelSnapshot(level, senderId);
    BroadcastJoined(senderId, buffer);
    sender.deathTime = ReadClock();
}

void Fire(Level& level, Player& sender, int senderId, char*)
{
    if (!sender.weapon || !sender.weapon->canFire())
        return;
    float x0 = WholeNumber(sender.x);
    float y0 = WholeNumber(sender.y);
    float a0 = sender.rotation;
    // Every projectile of the shot is announced from the shooter's position and
    // facing, not with its own spread angle.
    for (const Projectile& projectile : sender.weapon->fire(AllocateProjectileId, x0, y0, a0, senderId)) {
        level.entities.projectiles.push_back(projectile);
        BroadcastNewProjectile(projectile.id, x0, y0, a0);
    }
}

const Command kCommands[] = {
    {"Move", Move}, {"Rotate", Rotate}, {"PlayerMessage", Chat}, {"Respawn", Respawn}, {"Name", Name}, {"Fire", Fire},
};

} // namespace

bool DispatchCommand(char* word, Level& level)
{
    for (const Command& command : kCommands) {
        if (std::strcmp(word, command.word) != 0)
            continue;
        int senderId = NetMessageFrom();
        // Ids come from the network layer below the slot count; this guard keeps an
        // impossible one from indexing anyway.
        if (Player* sender = PlayerSlot(level, senderId))
            command.run(level, *sender, senderId, word);
        return true;
    }
    return false;
}

void SendLevelSnapshot(const Level& level, int to)
{
    SendLevelInfo(to, level.roomCount, level.sizeX, level.sizeY, level.entities.playerCount);
    for (size_t i = 0; i <= static_cast<size_t>(level.roomCount); ++i)
        SendRoomRecord(to, level.roomX[i], level.roomY[i], level.roomWidth[i], level.roomHeight[i]);
    for (const Player& player : level.entities.players) {
        if (player.connected)
            SendPlayer(to, player.id, player.name.c_str(), WholeNumber(player.x), WholeNumber(player.y), player.dead);
    }
    SendPlayersDone(to);
    for (const Projectile& projectile : level.entities.projectiles)
        SendNewProjectile(to, projectile.id, projectile.x, projectile.y, projectile.angle);
    SendProjDone(to);
}

} // namespace skirmish

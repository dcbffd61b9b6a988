#include "app/main_loop.h"

#include <malloc.h>

#include <algorithm>

#include "combat/projectile_flight.h"
#include "combat/respawn.h"
#include "combat/weapon_catalogue.h"
#include "core/clock.h"
#include "core/console.h"
#include "net/messages.h"
#include "net/net.h"

namespace skirmish {
namespace {

static_assert(16 / 1000.0 <= 1.0 / 60 && 17 / 1000.0 > 1.0 / 60);

// The new player starts dead and unnamed, holding a clone of a random catalogue weapon.
void SeatPlayer(Level& level, int id)
{
    Player* slot = PlayerSlot(level, id);
    if (!slot)
        return;
    Player joined;
    joined.weapon = CloneRandomCatalogueWeapon(level.entities);
    joined.id = id;
    joined.name = "unnamed";
    joined.health = 0;
    joined.dead = true;
    joined.connected = true;
    joined.deathTime = ReadClock();
    *slot = std::move(joined);
}

bool TakeJoin(Level& level, LoopState& loop)
{
    int id = NetPlayerJoined();
    if (id == 0)
        return false;
    NetGetPlayerIP(id, loop.buffer, sizeof loop.buffer);
    ConsoleLine("Player ID ", id, " has joined the game from ", EscapeForConsole(loop.buffer));
    SendGreeting(id);
    SeatPlayer(level, id);
    return true;
}

bool NobodyConnected(const Level& level)
{
    for (const Player& player : level.entities.players)
        if (player.connected)
            return false;
    return true;
}

// A server left empty after a busy hour gives the memory it no longer uses back to the system.
void ReturnFreeMemory() { malloc_trim(0); }

// The record stays in its slot; only connected changes.
bool TakeLeave(Level& level)
{
    int id = NetPlayerLeft();
    if (id == 0)
        return false;
    ConsoleLine("Player ID ", id, " has left the game.");
    if (Player* slot = PlayerSlot(level, id))
        slot->connected = false;
    BroadcastLeft(id);
    if (NobodyConnected(level))
        ReturnFreeMemory();
    return true;
}

// A late tick moves each projectile one step only; missed ticks are not made up.
void RunMovementTick(Level& level, LoopState& loop)
{
    if (ElapsedMs(ReadClock(), loop.tickReference) / 1000.0 <= 1.0 / 60)
        return;
    MoveProjectiles(level);
    loop.tickReference = ReadClock();
}

bool HandleMessages(Level& level, LoopState& loop)
{
    bool handled = false;
    while (NetGetMessage()) {
        handled = true;
        NetGetString(loop.buffer, sizeof loop.buffer);
        if (!DispatchCommand(loop.buffer, level))
            ConsoleLine("message \"", EscapeForConsole(loop.buffer), "\" Sent by P", NetMessageFrom(),
                        ", but no matching command");
    }
    return handled;
}

} // namespace

bool RunPass(Level& level, LoopState& loop)
{
    bool joined = TakeJoin(level, loop);
    bool left = TakeLeave(level);
    RunMovementTick(level, loop);
    CheckProjectiles(level);
    RespawnDeadPlayers(level);
    bool handled = HandleMessages(level, loop);
    return joined || left || handled;
}

int32_t MillisecondsUntilDue(const Level& level, const LoopState& loop, int32_t now)
{
    int64_t due = static_cast<int64_t>(kMovementTickMs) - ElapsedMs(now, loop.tickReference);
    for (const Projectile& projectile : level.entities.projectiles)
        due = std::min<int64_t>(due, static_cast<int64_t>(ExpiryDelayMs(projectile.lifetime)) -
                                         ElapsedMs(now, projectile.creationTime));
    for (const Player& player : level.entities.players)
        if (player.connected && player.dead)
            due = std::min<int64_t>(due, static_cast<int64_t>(kRespawnDelayMs) - ElapsedMs(now, player.deathTime));
    return static_cast<int32_t>(std::clamp<int64_t>(due, 0, kMovementTickMs));
}

void RunMainLoop(Level& level, int32_t tickReference)
{
    LoopState loop{tickReference};
    while (NetConnected()) {
        bool tookInput = RunPass(level, loop);
        int32_t due = MillisecondsUntilDue(level, loop, ReadClock());
        // A busy server gathers input for a moment so that one pass (and one packet
        // per client) serves many commands; an idle one sleeps until traffic or work.
        if (tookInput)
            NetCollect(std::min(due, kInputBatchMs));
        else
            NetService(due);
    }
}

} // namespace skirmish

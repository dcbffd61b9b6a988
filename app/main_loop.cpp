#include "app/main_loop.h"

#include <malloc.h>

#include <algorithm>
#include <chrono>

#include "app/admin.h"
#include "app/bots.h"
#include "app/event_log.h"
#include "app/fleet.h"
#include "app/recorder.h"
#include "app/service_notify.h"
#include "core/clock.h"
#include "game/commands.h"
#include "game/flight.h"
#include "game/respawn.h"
#include "game/seating.h"
#include "game/timers.h"
#include "net/server/net.h"
#include "protocol/messages.h"

namespace skirmish {
namespace {

// What the pass sends to all also goes to the recording, as the same bytes.
class RecordedOutbox final : public Outbox {
public:
    RecordedOutbox(Outbox& out, Recorder* recorder) : out_(out), recorder_(recorder) {}
    void toPlayer(int id, const MessageWriter& message) override { out_.toPlayer(id, message); }
    void toAll(const MessageWriter& message) override
    {
        out_.toAll(message);
        if (recorder_ && !message.overflowed())
            recorder_->record(message.bytes());
    }
    void tickTaken(int32_t tick) override { out_.tickTaken(tick); }

private:
    Outbox& out_;
    Recorder* recorder_;
};

// A spectator sees the world as it stands between two passes, then every message to all.
bool WelcomeSpectators(const Level& level, Inbox& in, Outbox& out)
{
    bool welcomed = false;
    for (int id; (id = in.takeSpectator()) != 0; welcomed = true)
        SendLevelSnapshot(level, id, out);
    return welcomed;
}

bool TakeJoin(Level& level, int32_t now, Inbox& in, Outbox& out, const LoopState& loop)
{
    std::string address;
    int id = in.takeJoin(address);
    if (id == 0)
        return false;
    if (loop.recorder)
        loop.recorder->beforeJoin(level, now, address != kLocalAddress);
    SeatPlayer(level, id, address, now, out);
    if (!loop.motd.empty())
        out.toPlayer(id, message::PlayerMessage(0, loop.motd));
    return true;
}

// A server left empty after a busy hour gives the memory it no longer uses back to the system.
void ReturnFreeMemory() { malloc_trim(0); }

bool TakeLeave(Level& level, Inbox& in, Outbox& out)
{
    int id = in.takeLeave();
    if (id == 0)
        return false;
    ReleasePlayer(level, id, out);
    if (NobodyConnected(level))
        ReturnFreeMemory();
    return true;
}

// A late tick moves each projectile one step only; missed ticks are not made up.
// With nothing in flight a tick is unobservable: the reference then keeps the
// tick's phase, as if the loop had been ticking all along while it slept, however
// long that was (the elapsed time is taken modulo the clock's wrap, never negative).
void RunMovementTick(Level& level, LoopState& loop, int32_t now, Clock& clock, Outbox& out)
{
    if (level.entities.projectiles.empty()) {
        uint32_t elapsed = static_cast<uint32_t>(now) - static_cast<uint32_t>(loop.tickReference);
        loop.tickReference =
            static_cast<int32_t>(static_cast<uint32_t>(loop.tickReference) + elapsed - elapsed % kMovementTickMs);
        return;
    }
    if (!Due(now, loop.tickReference, kMovementTickMs))
        return;
    ++loop.stats.ticks;
    loop.stats.tickLateness.observe((ElapsedMs(now, loop.tickReference) - kMovementTickMs) / 1000.0);
    MoveProjectiles(level, out);
    // The step's own duration counts toward the next tick.
    loop.tickReference = clock.now();
}

// Commands are taken until the movement tick falls due: the rest wait, in order, for
// the next pass, which steps the projectiles first. A flood of commands thus delays
// the tick by one command at most, not by the whole flood.
bool TickDue(const Level& level, const LoopState& loop, int32_t now)
{
    return !level.entities.projectiles.empty() && Due(now, loop.tickReference, kMovementTickMs);
}

bool HandleMessages(Level& level, const LoopState& loop, int32_t now, Clock& clock, Inbox& in, Outbox& out)
{
    bool handled = false;
    int from = 0;
    Bytes message;
    while (!TickDue(level, loop, clock.now()) && in.takeMessage(from, message)) {
        handled = true;
        HandleMessage(level, from, message, now, out);
    }
    return handled;
}

} // namespace

void NetOutbox::toPlayer(int id, const MessageWriter& message) { NetSend(id, message); }
void NetOutbox::toAll(const MessageWriter& message) { NetSendAll(message); }
void NetOutbox::tickTaken(int32_t tick) { NetTickTaken(tick); }

int NetInbox::takeJoin(std::string& address)
{
    int id = NetPlayerJoined();
    if (id != 0)
        address = NetGetPlayerIP(id);
    return id;
}

int NetInbox::takeLeave() { return NetPlayerLeft(); }
int NetInbox::takeSpectator() { return NetSpectatorJoined(); }

bool NetInbox::takeMessage(int& from, Bytes& message)
{
    NetMessage taken;
    if (!NetGetMessage(taken))
        return false;
    from = taken.from;
    message = std::move(taken.bytes);
    return true;
}

bool RunPass(Level& level, LoopState& loop, Clock& clock, Inbox& in, Outbox& network)
{
    const int32_t now = clock.now();
    if (loop.recorder)
        loop.recorder->beforePass(level, now);
    RecordedOutbox recorded(network, loop.recorder);
    EventTap out(recorded, loop.events, level);
    bool welcomed = WelcomeSpectators(level, in, out);
    bool joined = TakeJoin(level, now, in, out, loop);
    bool left = TakeLeave(level, in, out);
    RunMovementTick(level, loop, now, clock, out);
    CheckProjectiles(level, now, out);
    bool respawned = RespawnDeadPlayers(level, now, out);
    if (loop.bots)
        loop.bots->run(now, loop.tickReference);
    bool handled = HandleMessages(level, loop, now, clock, in, out);
    bool commanded = loop.admin && loop.admin->runCommands(level, now, out);
    // A loop that never waited would test hits again a moment later, before any
    // movement step; ours may sleep until the step is due, so it tests them now.
    if (respawned || handled)
        CheckProjectiles(level, now, out);
    ReportWithheldLines(level, now);
    if (loop.events)
        loop.events->afterPass(level, loop.recorder);
    return welcomed || joined || left || handled || commanded;
}

std::optional<int32_t> MillisecondsUntilDue(const Level& level, const LoopState& loop, int32_t now)
{
    std::optional<int64_t> due;
    auto consider = [&](int32_t since, int32_t delayMs) {
        int64_t wait = MsUntilDue(now, since, delayMs);
        due = due ? std::min(*due, wait) : wait;
    };
    for (const Projectile& projectile : level.entities.projectiles)
        consider(projectile.creationTime, ExpiryDelayMs(projectile));
    if (!level.entities.projectiles.empty())
        consider(loop.tickReference, kMovementTickMs);
    for (const Player& player : level.entities.players)
        if (WaitsToRespawn(player))
            consider(player.deathTime, kRespawnDelayMs);
    // Not seen by clients, but the operator should read a flood's count when its second ends.
    if (auto report = MsUntilWithheldLinesReport(level, now))
        consider(now, *report);
    if (due)
        due = std::min<int64_t>(*due, kMovementTickMs);
    // A bot's turn waits no step either. While projectiles fly it rides the next
    // movement tick's pass rather than wake the loop itself: the ticks drift off the
    // turns' grid, and a wake of its own for each turn would double the loop's wakes.
    if (auto turn = loop.bots && level.entities.projectiles.empty() ? loop.bots->msUntilDue(now) : std::nullopt)
        consider(now, *turn);
    // A recording's block or end waits no step: an idle server sleeps until it is due.
    if (auto recording = loop.recorder ? loop.recorder->msUntilDue(now) : std::nullopt)
        consider(now, *recording);
    if (!due)
        return std::nullopt;
    return static_cast<int32_t>(*due);
}

void RunMainLoop(Level& level, LoopState& loop)
{
    NetOutbox out;
    NetInbox in;
    Clock& clock = InstalledClock();
    int32_t beaten = clock.now() - kFleetBeatMs;
    while (NetConnected()) {
        auto passStart = std::chrono::steady_clock::now();
        bool tookInput = RunPass(level, loop, clock, in, out);
        loop.stats.passDuration.observe(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - passStart).count());
        std::optional<int32_t> due = MillisecondsUntilDue(level, loop, clock.now());
        if (loop.fleet) {
            // Counting the clients walks every id: a busy loop beats four times a beat period, not each pass.
            if (ElapsedMs(clock.now(), beaten) >= kFleetBeatMs / 4) {
                BeatFleet(*loop.fleet);
                beaten = clock.now();
            }
            due = std::min(due.value_or(kFleetBeatMs), kFleetBeatMs);
        }
        // A loop that stops coming here stops the keep-alives, and the manager restarts it.
        if (auto beat = loop.service ? loop.service->beat(clock.now()) : std::nullopt)
            due = std::min(due.value_or(*beat), *beat);
        // A busy server gathers input for a moment so that one pass (and one packet
        // per client) serves many commands; an idle one sleeps until traffic or work.
        if (tookInput)
            NetCollect(kInputBatchMs, due);
        else
            NetService(due.value_or(kWaitForTraffic));
    }
}

} // namespace skirmish

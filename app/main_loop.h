#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/clock.h"
#include "core/metrics.h"
#include "game/inbox.h"
#include "game/level.h"
#include "game/outbox.h"

namespace skirmish {
class Admin;
class AgonesLink;
class Bots;
class EventLog;
class Recorder;
class ServiceNotifier;
}

namespace skirmish {

// After a pass that took input, the next one waits at most this long for more.
constexpr int32_t kInputBatchMs = 1;

// What the loop measures for the operator's dashboards.
struct LoopStats {
    uint64_t ticks = 0; // movement ticks run
    Histogram tickLateness{{0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1}}; // seconds past due
    Histogram passDuration{{0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025}}; // seconds
};

// What the loop keeps between passes.
struct LoopState {
    int32_t tickReference; // clock reading of the last movement tick
    LoopStats stats = {};
    Recorder* recorder = nullptr; // records what is sent to all, when recording is on
    Admin* admin = nullptr;       // operators' commands, when they are taken
    Bots* bots = nullptr;         // the server's own players, when asked for
    AgonesLink* fleet = nullptr;  // the fleet manager's sidecar, beaten after each pass
    // The operator's words for each new player, sent from the server (id 0) right after the
    // greeting; "" sends nothing more. The greeting itself never changes: clients key their join on it.
    std::string motd = {};
    EventLog* events = nullptr;   // told what the pass sends to all, when --event-log asks
    ServiceNotifier* service = nullptr; // the service manager's watchdog, fed from the loop's beat
};

// The outbox of the running server: every message goes out through the network layer.
class NetOutbox final : public Outbox {
public:
    void toPlayer(int id, const MessageWriter& message) override;
    void toAll(const MessageWriter& message) override;
    void tickTaken(int32_t tick) override;
};

// The inbox of the running server: joins, leaves and messages as the network layer has them.
class NetInbox final : public Inbox {
public:
    int takeJoin(std::string& address) override;
    int takeLeave() override;
    bool takeMessage(int& from, Bytes& message) override;
    int takeSpectator() override;
};

// One pass: the snapshot for each new spectator, a join, a leave, the movement tick when due, hits and expiry, respawns,
// the turns of bots whose turn has come, then the waiting client messages and operators' commands, then hits once more if anyone moved or came to
// life among flying projectiles. What it sends to all is recorded too, when the loop
// has a recorder. It reads the clock once at its start, for every
// rule, and once after a movement step, for the next tick's reference. True when it
// took a spectator, a join, a leave, a message or a command.
bool RunPass(Level& level, LoopState& loop, Clock& clock, Inbox& in, Outbox& out);

// Milliseconds from now until the loop next has timed work (tick, expiry, respawn,
// the count of a client's withheld console lines, or a recording's block or end); nothing when there is none (no
// projectile in flight, nobody waiting to respawn, no count pending): the loop then
// waits for traffic alone.
std::optional<int32_t> MillisecondsUntilDue(const Level& level, const LoopState& loop, int32_t now);

// Runs passes until hosting ends, waiting for the network between them only
// until the next timed work is due.
void RunMainLoop(Level& level, LoopState& loop);

} // namespace skirmish

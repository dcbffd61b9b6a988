#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "net/client/client.h"
#include "tools/histogram.h"

namespace skirmish {

using BotClock = std::chrono::steady_clock;

struct BotRates {
    double movesPerSecond = 30; // one "Move" and one "Rotate" each time
    double firesPerSecond = 10;
};

// What one bot saw; merged over every bot for the summary.
struct BotStats {
    uint64_t messages = 0;
    uint64_t bytes = 0; // of packets, framing included
    uint64_t malformed = 0;
    uint64_t unknown = 0;
    uint64_t commandsSent = 0;
    LatencyHistogram moveEcho;    // "Move" sent to its "Moved" back
    LatencyHistogram projCadence; // gap between two "ProjMove" of one projectile
    size_t liveProjectilesMax = 0;
    uint64_t snapshots = 0;  // "ProjDone" received
    uint64_t playerOnly = 0; // a greeting or "Health" that reached a spectator
};

// One simulated player: connects, names itself, then moves, turns and fires at set
// rates. A spectator bot sends nothing at all and only reads what arrives.
class Bot {
public:
    Bot(int number, BotRates rates, uint32_t seed);

    bool connect(const std::string& host, uint16_t port, int timeoutMs, bool websocket = false,
                 Role role = Role::Player, WireVersion version = WireVersion::V3);
    // Sends what is due, reads what arrived; measuring only once measuring is set.
    void step(BotClock::time_point now, bool measuring);
    void disconnect();

    bool connected() const { return client_.connected(); }
    bool refused() const { return client_.refusedAsFull(); }
    bool lost() const { return client_.lostConnection(); }
    bool serverQuit() const { return serverQuit_; }
    int id() const { return id_; }
    const BotStats& stats() const { return stats_; }
    // Keep a view of live projectiles (one bot is enough for the count).
    void trackProjectiles() { trackProjectiles_ = true; }

private:
    void sendDue(BotClock::time_point now);
    void read(BotClock::time_point now, bool measuring);
    void handle(const std::string& name, BotClock::time_point now, bool measuring);

    NetClient client_;
    std::string name_;
    BotRates rates_;
    std::mt19937 random_;
    int id_ = 0;
    bool spectator_ = false;
    // Set by "ProjDone": the server follows our own snapshot at once with our own
    // "Joined". Names do not tell us apart: two bot processes both have a "bot-1".
    bool ownJoinNext_ = false;
    bool serverQuit_ = false;
    bool trackProjectiles_ = false;
    BotClock::time_point nextMove_;
    BotClock::time_point nextFire_;
    std::deque<BotClock::time_point> movesInFlight_;
    // A "Moved" for us is an echo unless an "Alive" for us follows it (a respawn).
    bool pendingEcho_ = false;
    BotClock::time_point pendingEchoAt_;
    std::unordered_map<int32_t, BotClock::time_point> lastProjMove_;
    std::unordered_set<int32_t> live_;
    BotStats stats_;
};

} // namespace skirmish

// loss-observer: a player that watches another one move and says how long what it
// sees stands still, for the lossy-link benchmark (bench/loss.sh). It connects (over
// ENet, or the WebSocket with --websocket), names itself, finds the player named by
// --watch, warms up, then for --seconds notes when each "Moved" of that player and each
// step of every live projectile arrives. It reads messages through the client's
// field reads alone, so the figures hold however the version carried them.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/flags.h"
#include "net/client/client.h"
#include "protocol/messages.h"
#include "protocol/names.h"

namespace {

using namespace skirmish;
using Clock = std::chrono::steady_clock;

const char* const kUsage = R"(Usage: loss-observer [options]

  --host H         server address (default 10.77.0.1, the lossy link's far side)
  --port P         server port (default 23987)
  --websocket      connect over the server's WebSocket instead of ENet
  --version N      wire version to ask for: 1, 2 or 3 (default 2)
  --watch NAME     the player to watch (default bot-1, skirmish-bot's first)
  --warmup S       seconds to wait once the player is found (default 5)
  --seconds S      seconds measured (default 30)
  --help           this text

A gap is the time between two arrivals, the start and the end of the measurement
counting as arrivals. Frozen: the time gaps over 100 ms last beyond their first
100 ms, as a share of the time measured. The last line, starting "RESULT", gives
every figure as key=value pairs; connected=0 when no connection was made or the
server ended it at once.
)";

constexpr double kStallMs = 100;

struct Gaps {
    size_t over = 0; // gaps longer than kStallMs
    double longestMs = 0;
    double frozenMs = 0;

    void add(double gapMs)
    {
        longestMs = std::max(longestMs, gapMs);
        if (gapMs > kStallMs) {
            ++over;
            frozenMs += gapMs - kStallMs;
        }
    }
};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Watch {
    std::string name;
    int32_t id = -1;
    bool measuring = false;
    Clock::time_point lastMoved;
    size_t moved = 0, steps = 0;
    Gaps movedGaps, projectileGaps;
    std::unordered_map<int32_t, Clock::time_point> projectiles; // live ones: their last step

    void read(NetClient& client, Clock::time_point now)
    {
        const std::string message = client.getString(31);
        if (message == names::kPlayer || message == names::kJoined) {
            int32_t who = client.getInt();
            if (client.getString() == name)
                id = who;
        } else if (message == names::kMoved) {
            if (client.getInt() == id && measuring) {
                ++moved;
                movedGaps.add(Ms(now - lastMoved));
                lastMoved = now;
            }
        } else if (measuring && (message == names::kNewProjectile || message == names::kProjMove)) {
            auto [last, fresh] = projectiles.try_emplace(client.getInt(), now);
            if (!fresh) {
                ++steps;
                projectileGaps.add(Ms(now - last->second));
                last->second = now;
            }
        } else if (measuring && message == names::kProjDelete) {
            if (auto gone = projectiles.find(client.getInt()); gone != projectiles.end()) {
                projectileGaps.add(Ms(now - gone->second));
                projectiles.erase(gone);
            }
        }
    }

    void begin(Clock::time_point now)
    {
        measuring = true;
        lastMoved = now;
    }

    // What has not arrived by the end is a gap up to the end.
    void end(Clock::time_point now)
    {
        movedGaps.add(Ms(now - lastMoved));
        for (const auto& [projectile, last] : projectiles)
            projectileGaps.add(Ms(now - last));
    }
};

// Services the connection for the given time, handing every message to the watch.
void Serve(NetClient& client, Watch& watch, Clock::time_point until, bool stopOnceFound = false)
{
    while (Clock::now() < until && !client.lostConnection() && !(stopOnceFound && watch.id >= 0)) {
        client.service(5);
        const auto now = Clock::now();
        while (client.nextMessage())
            watch.read(client, now);
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::string host = "10.77.0.1";
    int64_t port = 23987, version = 2;
    double warmup = 5, seconds = 30;
    bool websocket = false, help = false;
    Watch watch;
    watch.name = "bot-1";
    const Flag flags[] = {
        {"--help", false, [&](std::string_view) { return help = true; }},
        {"--host", true, [&](std::string_view v) { return !(host = v).empty(); }},
        {"--port", true, WholeInto(port, 1, 65535)},
        {"--websocket", false, [&](std::string_view) { return websocket = true; }},
        {"--version", true, WholeInto(version, 1, 3)},
        {"--watch", true, [&](std::string_view v) { return !(watch.name = v).empty(); }},
        {"--warmup", true, NonNegativeInto(warmup)},
        {"--seconds", true, NonNegativeInto(seconds)},
    };
    std::string error = ParseFlags(argc, argv, flags);
    if (help && error.empty()) {
        std::cout << kUsage;
        return 0;
    }
    if (!error.empty()) {
        std::cerr << "loss-observer: " << error << "\n\n" << kUsage;
        return 2;
    }

    NetClient client;
    client.useVersion(static_cast<WireVersion>(version));
    // The server may still be starting on the far side: try for a while.
    bool connected = false;
    for (auto until = Clock::now() + std::chrono::seconds(15); !connected && Clock::now() < until;) {
        connected = websocket ? client.connectWebSocket(host, static_cast<uint16_t>(port), 2000)
                              : client.connect(host, static_cast<uint16_t>(port), 2000);
        if (!connected && client.refusedAsFull())
            break;
        if (!connected)
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    if (!connected) {
        std::printf("RESULT connected=0\n");
        return 1;
    }
    client.send(command::Name("observer"));
    Serve(client, watch, Clock::now() + std::chrono::seconds(15), true);
    // A server that does not speak the version asked for may take the connection, then end it.
    if (watch.id < 0) {
        std::printf("RESULT connected=%d found=0 farewell=%u\n", client.lostConnection() ? 0 : 1,
                    client.farewellCode());
        return 1;
    }
    const auto start = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(warmup));
    Serve(client, watch, start);
    const auto begun = Clock::now();
    watch.begin(begun);
    Serve(client, watch, begun + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
    const auto stop = Clock::now();
    watch.end(stop);
    const double spanMs = std::max(1.0, Ms(stop - begun));
    const bool lost = client.lostConnection();
    client.disconnect(300);
    const auto& m = watch.movedGaps;
    const auto& p = watch.projectileGaps;
    std::printf("%zu Moved, %zu gaps over %.0f ms, longest %.0f ms, frozen %.2f %%; %zu projectile steps, %zu gaps "
                "over %.0f ms, longest %.0f ms\n",
                watch.moved, m.over, kStallMs, m.longestMs, 100 * m.frozenMs / spanMs, watch.steps, p.over, kStallMs,
                p.longestMs);
    std::printf("RESULT connected=1 found=1 lost=%d moved=%zu gaps=%zu longest_ms=%.0f frozen_pct=%.2f proj_steps=%zu "
                "proj_gaps=%zu proj_longest_ms=%.0f\n",
                lost ? 1 : 0, watch.moved, m.over, m.longestMs, 100 * m.frozenMs / spanMs, watch.steps, p.over,
                p.longestMs);
    return lost ? 1 : 0;
}

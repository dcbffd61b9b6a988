// skirmish-bot: connects simulated players to a server and reports what they saw.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "core/flags.h"
#include "tools/bot.h"

namespace skirmish {
namespace {

struct Options {
    int bots = 8;
    double seconds = 20;
    double warmup = 0;
    BotRates rates;
    std::string host = "127.0.0.1";
    uint16_t port = 23987;
    bool progress = true;
    bool websocket = false;
    bool watch = false;
    WireVersion version = WireVersion::V3;
};

const char* const kUsage = R"(Usage: skirmish-bot [options]

Connects simulated players to a Skirmish server. Each names itself, then sends
"Move" (a small random step) and "Rotate" at the move rate and "Fire" at the fire
rate. At the end it prints what the bots saw.

Options:
  --bots N         bots to connect (default 8)
  --seconds S      how long to measure (default 20)
  --warmup S       run this long first without measuring (default 0)
  --move-rate R    "Move" + "Rotate" pairs per second per bot (default 30)
  --fire-rate R    "Fire" per second per bot (default 10)
  --host H         server address (default 127.0.0.1)
  --port P         server port (default 23987)
  --websocket      connect over the server's WebSocket (TCP, ws://host:port/ws) instead of ENet
  --watch          connect as spectators (ENet connect data 1, or ws://host:port/watch):
                   they send nothing and only count what arrives; rates are unused. For
                   many, start the server with --max-spectators N --max-spectators-per-address 0
  --v2             speak wire version 2 (every update reliable, in order) instead of version 3
  --v1             speak the tagged wire layout, version 1
  --quiet          no progress line
  --help           this text

Summary: bots connected and refused (server full), messages received per second
(total and per bot) and the packet bytes they came in, the round trip from "Move" to its "Moved" (p50/p99/max), the
gap between two "ProjMove" of one projectile as clients see it (p50/p99/max, ms),
the most live projectiles one bot saw, and any protocol error. The last line,
starting "RESULT", repeats it all as key=value pairs for scripts. With --watch
there is no round trip; "snapshots" counts the spectators that received their
snapshot and "player_only" the greetings and "Health" that reached one.

Exit status: 0; 1 when a bot saw a malformed message or lost its connection
without the server saying "ServerQuit", or a spectator missed its snapshot or
was sent a message meant for one player; 2 for bad options or no bot connected.
)";

bool ParseOptions(int argc, char** argv, Options& options)
{
    auto real = [](double& into) {
        return [&into](std::string_view v) {
            std::optional<double> x = ParseReal(v);
            into = x.value_or(into);
            return x.has_value();
        };
    };
    bool help = false;
    const Flag flags[] = {
        {"--help", false, [&](std::string_view) { return help = true; }},
        {"--quiet", false,
         [&](std::string_view) {
             options.progress = false;
             return true;
         }},
        {"--websocket", false, [&](std::string_view) { return options.websocket = true; }},
        {"--watch", false, [&](std::string_view) { return options.watch = true; }},
        {"--v1", false, [&](std::string_view) { return (options.version = WireVersion::V1) == WireVersion::V1; }},
        {"--v2", false, [&](std::string_view) { return (options.version = WireVersion::V2) == WireVersion::V2; }},
        {"--bots", true,
         [&](std::string_view v) {
             auto n = ParseWhole(v, INT32_MIN, INT32_MAX);
             options.bots = static_cast<int>(n.value_or(0));
             return n.has_value();
         }},
        {"--seconds", true, real(options.seconds)},
        {"--warmup", true, real(options.warmup)},
        {"--move-rate", true, real(options.rates.movesPerSecond)},
        {"--fire-rate", true, real(options.rates.firesPerSecond)},
        {"--host", true, [&](std::string_view v) { return !(options.host = v).empty(); }},
        {"--port", true,
         [&](std::string_view v) {
             auto n = ParseWhole(v, 1, 65535);
             return n && (options.port = static_cast<uint16_t>(*n));
         }},
    };
    std::string error = ParseFlags(argc, argv, flags);
    if (help) {
        std::cout << kUsage;
        std::exit(0);
    }
    if (!error.empty()) {
        std::cerr << "skirmish-bot: " << error << "\n\n" << kUsage;
        return false;
    }
    if (options.bots < 1 || options.seconds <= 0 || options.warmup < 0 || options.rates.movesPerSecond < 0 ||
        options.rates.firesPerSecond < 0) {
        std::cerr << "skirmish-bot: --bots must be at least 1, --seconds above 0, rates and warm-up not negative\n";
        return false;
    }
    return true;
}

double Seconds(BotClock::duration d) { return std::chrono::duration<double>(d).count(); }

} // namespace
} // namespace skirmish

int main(int argc, char** argv)
{
    using namespace skirmish;
    Options options;
    if (!ParseOptions(argc, argv, options))
        return 2;

    std::vector<std::unique_ptr<Bot>> bots;
    int refused = 0;
    for (int i = 0; i < options.bots; ++i) {
        auto bot = std::make_unique<Bot>(i + 1, options.rates, static_cast<uint32_t>(1000 + i));
        if (bot->connect(options.host, options.port, 3000, options.websocket,
                         options.watch ? Role::Spectator : Role::Player, options.version)) {
            // A full server accepts, then turns the bot away: give that a moment to show.
            for (int k = 0; k < 5 && !bot->refused(); ++k)
                bot->step(BotClock::now(), false);
            if (bot->refused())
                ++refused;
            else
                bots.push_back(std::move(bot));
        } else if (bot->refused()) {
            ++refused;
        }
        for (auto& b : bots)
            b->step(BotClock::now(), false);
    }
    if (bots.empty()) {
        std::cerr << "skirmish-bot: no bot could connect to " << options.host << ":" << options.port << "\n";
        return 2;
    }
    bots.front()->trackProjectiles();

    const bool showProgress = options.progress && isatty(STDERR_FILENO);
    const auto start = BotClock::now();
    const auto measureFrom = start + std::chrono::duration_cast<BotClock::duration>(std::chrono::duration<double>(options.warmup));
    const auto end = measureFrom + std::chrono::duration_cast<BotClock::duration>(std::chrono::duration<double>(options.seconds));
    uint64_t messagesAtMeasureStart = 0, bytesAtMeasureStart = 0;
    bool measuring = false;
    auto nextProgress = start;
    uint64_t lastMessages = 0;
    auto lastProgressAt = start;

    for (auto now = BotClock::now(); now < end; now = BotClock::now()) {
        if (!measuring && now >= measureFrom) {
            measuring = true;
            for (auto& bot : bots) {
                messagesAtMeasureStart += bot->stats().messages;
                bytesAtMeasureStart += bot->stats().bytes;
            }
        }
        uint64_t before = 0, after = 0;
        bool anyConnected = false;
        for (auto& bot : bots) {
            anyConnected |= bot->connected();
            before += bot->stats().messages;
            bot->step(now, measuring);
            after += bot->stats().messages;
        }
        if (!anyConnected)
            break; // every bot has lost its server: nothing more to measure
        if (after == before)
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        if (showProgress && now >= nextProgress) {
            int connected = 0;
            for (auto& bot : bots)
                connected += bot->connected();
            double rate = static_cast<double>(after - lastMessages) / std::max(Seconds(now - lastProgressAt), 1e-3);
            std::fprintf(stderr, "\r%d/%d %s connected | %.0f msg/s | %s %.0f s left   ", connected, options.bots,
                         options.watch ? "spectators" : "bots", rate, measuring ? "measuring," : "warming up,", Seconds(end - now));
            lastMessages = after;
            lastProgressAt = now;
            nextProgress = now + std::chrono::milliseconds(500);
        }
    }
    const auto stopped = BotClock::now();
    if (showProgress)
        std::fprintf(stderr, "\n");

    // A refusal may show only after the check at connect time; it is a refusal all the same.
    refused += static_cast<int>(std::erase_if(bots, [](const std::unique_ptr<Bot>& bot) { return bot->refused(); }));
    BotStats total;
    int lost = 0;
    int snapshots = 0; // bots that received at least one
    for (auto& bot : bots) {
        const BotStats& s = bot->stats();
        total.messages += s.messages;
        total.bytes += s.bytes;
        total.malformed += s.malformed;
        total.unknown += s.unknown;
        total.commandsSent += s.commandsSent;
        total.moveEcho.merge(s.moveEcho);
        total.projCadence.merge(s.projCadence);
        total.liveProjectilesMax = std::max(total.liveProjectilesMax, s.liveProjectilesMax);
        total.playerOnly += s.playerOnly;
        snapshots += s.snapshots > 0;
        if (bot->lost() && !bot->serverQuit())
            ++lost;
    }
    for (auto& bot : bots)
        bot->disconnect();

    // The measured window ends early when every bot lost its server.
    const double measured = measuring ? Seconds(std::min(stopped, end) - measureFrom) : 0;
    auto perSecond = [&](uint64_t count) { return measured > 0 ? static_cast<double>(count) / measured : 0.0; };
    const double messagesPerSecond = perSecond(total.messages - messagesAtMeasureStart);
    const double bytesPerSecond = perSecond(total.bytes - bytesAtMeasureStart);
    const auto connectedCount = static_cast<int>(bots.size());
    const char* who = options.watch ? "spectator" : "bot";
    const auto playerOnly = static_cast<unsigned long long>(total.playerOnly);
    std::printf("%ss connected: %d, refused: %d, lost: %d", who, connectedCount, refused, lost);
    if (options.watch)
        std::printf(", snapshot received by %d", snapshots);
    std::printf("\nmessages received: %.0f/s in all, %.0f/s per %s (%.0f bytes/s in all)\n", messagesPerSecond,
                messagesPerSecond / std::max(connectedCount, 1), who, bytesPerSecond);
    if (!options.watch)
        std::printf("Move -> Moved round trip: p50 %.2f ms, p99 %.2f ms, max %.2f ms (%llu samples)\n",
                    total.moveEcho.percentile(50), total.moveEcho.percentile(99), total.moveEcho.max(),
                    static_cast<unsigned long long>(total.moveEcho.count()));
    std::printf("ProjMove cadence: p50 %.2f ms, p99 %.2f ms, max %.2f ms (%llu samples)\n",
                total.projCadence.percentile(50), total.projCadence.percentile(99), total.projCadence.max(),
                static_cast<unsigned long long>(total.projCadence.count()));
    std::printf("live projectiles at most: %zu\n", total.liveProjectilesMax);
    std::printf("protocol errors: %llu malformed, %llu unknown messages", static_cast<unsigned long long>(total.malformed),
                static_cast<unsigned long long>(total.unknown));
    if (options.watch)
        std::printf(", %llu meant for one player", playerOnly);
    std::printf("\nRESULT bots=%d refused=%d lost=%d msgs_per_s=%.0f bytes_per_s=%.0f ", connectedCount, refused, lost,
                messagesPerSecond, bytesPerSecond);
    if (options.watch)
        std::printf("snapshots=%d player_only=%llu ", snapshots, playerOnly);
    else
        std::printf("echo_p50=%.2f echo_p99=%.2f echo_max=%.2f ", total.moveEcho.percentile(50),
                    total.moveEcho.percentile(99), total.moveEcho.max());
    std::printf("cadence_p50=%.2f cadence_p99=%.2f cadence_max=%.2f live_max=%zu malformed=%llu unknown=%llu\n",
                total.projCadence.percentile(50), total.projCadence.percentile(99), total.projCadence.max(),
                total.liveProjectilesMax, static_cast<unsigned long long>(total.malformed),
                static_cast<unsigned long long>(total.unknown));
    const bool spectatorsFailed = options.watch && (snapshots < connectedCount || playerOnly > 0);
    return (total.malformed > 0 || lost > 0 || spectatorsFailed) ? 1 : 0;
}

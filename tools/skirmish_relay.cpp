// skirmish-relay: a seeded UDP relay on loopback that drops, delays, duplicates and
// reorders datagrams between clients and a server, for tests and benchmarks; with --tcp,
// a relay of TCP connections (browsers, WebSocket bots) that only delays.
#include <csignal>
#include <cstdio>
#include <iostream>

#include "core/flags.h"
#include "tools/relay.h"
#include "tools/tcp_relay.h"

namespace {

const char* const kUsage = R"(Usage: skirmish-relay --listen PORT --server PORT [options]

Relays UDP datagrams between clients on 127.0.0.1:LISTEN and a server on
127.0.0.1:SERVER, impairing each direction as told. Seeded: the same seed and the
same traffic give the same drops, delays and duplicates.

  --loss P          percent of datagrams lost, each way (default 0)
  --delay MS        one-way delay (default 0)
  --jitter MS       each delay spread evenly over delay ± jitter (default 0)
  --duplicate P     percent delivered twice (default 0)
  --reorder P       percent held back one more delay, so that later ones overtake (default 0)
  --up-loss P, --down-loss P   loss for one direction only (client to server, server to client)
  --seed N          (default 1)
  --seconds S       stop after S seconds (default: until SIGTERM)
  --tcp             relay TCP connections instead (the server's web front: pages,
                    WebSockets): each way delayed by --delay ± --jitter, every byte
                    kept and in order; loss, duplication and reordering do not apply
  --up-delay MS, --down-delay MS   delay for one direction only
  --help            this text
)";

volatile std::sig_atomic_t stopping = 0;
extern "C" void Stop(int) { stopping = 1; }

int RelayTcp(uint16_t listen, uint16_t server, skirmish::StreamDelay up, skirmish::StreamDelay down, uint32_t seed,
             double seconds)
{
    skirmish::TcpRelay relay(listen, server, up, down, seed);
    if (!relay.ok()) {
        std::cerr << "skirmish-relay: cannot listen on 127.0.0.1:" << listen << " (TCP)\n";
        return 1;
    }
    std::signal(SIGINT, Stop);
    std::signal(SIGTERM, Stop);
    std::printf("relaying tcp 127.0.0.1:%u -> 127.0.0.1:%u\n", relay.port(), server);
    std::fflush(stdout);
    for (double served = 0; !stopping && (seconds <= 0 || served < seconds); served += 0.1)
        relay.run(100);
    std::printf("tcp: %llu connections\n", static_cast<unsigned long long>(relay.connections()));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    using namespace skirmish;
    int64_t listen = -1, server = -1, seed = 1;
    double seconds = 0;
    LinkImpairment link;
    double upLoss = -1, downLoss = -1, upDelay = -1, downDelay = -1;
    bool tcp = false;
    bool help = false;
    const Flag flags[] = {
        {"--help", false, [&](std::string_view) { return help = true; }},
        {"--listen", true, WholeInto(listen, 0, 65535)},
        {"--server", true, WholeInto(server, 1, 65535)},
        {"--seed", true, WholeInto(seed, 0, UINT32_MAX)},
        {"--loss", true, NonNegativeInto(link.lossPercent)},
        {"--up-loss", true, NonNegativeInto(upLoss)},
        {"--down-loss", true, NonNegativeInto(downLoss)},
        {"--delay", true, NonNegativeInto(link.delayMs)},
        {"--jitter", true, NonNegativeInto(link.jitterMs)},
        {"--duplicate", true, NonNegativeInto(link.duplicatePercent)},
        {"--reorder", true, NonNegativeInto(link.reorderPercent)},
        {"--seconds", true, NonNegativeInto(seconds)},
        {"--up-delay", true, NonNegativeInto(upDelay)},
        {"--down-delay", true, NonNegativeInto(downDelay)},
        {"--tcp", false, [&tcp](std::string_view) { return tcp = true; }},
    };
    std::string error = ParseFlags(argc, argv, flags);
    if (help && error.empty()) {
        std::cout << kUsage;
        return 0;
    }
    if (!error.empty() || listen < 0 || server < 0) {
        std::cerr << "skirmish-relay: " << (error.empty() ? "--listen and --server are needed" : error) << "\n\n"
                  << kUsage;
        return 2;
    }
    LinkImpairment up = link, down = link;
    if (upLoss >= 0)
        up.lossPercent = upLoss;
    if (downLoss >= 0)
        down.lossPercent = downLoss;
    if (upDelay >= 0)
        up.delayMs = upDelay;
    if (downDelay >= 0)
        down.delayMs = downDelay;
    if (tcp) {
        if (up.lossPercent > 0 || down.lossPercent > 0 || link.duplicatePercent > 0 || link.reorderPercent > 0) {
            std::cerr << "skirmish-relay: --tcp keeps every byte in order: no --loss, --duplicate or --reorder\n";
            return 2;
        }
        return RelayTcp(static_cast<uint16_t>(listen), static_cast<uint16_t>(server), {up.delayMs, up.jitterMs},
                        {down.delayMs, down.jitterMs}, static_cast<uint32_t>(seed), seconds);
    }
    ImpairmentRelay relay(static_cast<uint16_t>(listen), static_cast<uint16_t>(server), up, down,
                          static_cast<uint32_t>(seed));
    if (!relay.ok()) {
        std::cerr << "skirmish-relay: cannot listen on 127.0.0.1:" << listen << "\n";
        return 1;
    }
    std::signal(SIGINT, Stop);
    std::signal(SIGTERM, Stop);
    std::printf("relaying 127.0.0.1:%u -> 127.0.0.1:%lld\n", relay.port(), static_cast<long long>(server));
    std::fflush(stdout);
    for (double served = 0; !stopping && (seconds <= 0 || served < seconds); served += 0.1)
        relay.run(100);
    auto up_ = relay.upCounts();
    auto down_ = relay.downCounts();
    std::printf("up: %llu in, %llu dropped, %llu duplicated; down: %llu in, %llu dropped, %llu duplicated\n",
                (unsigned long long)up_.in, (unsigned long long)up_.dropped, (unsigned long long)up_.duplicated,
                (unsigned long long)down_.in, (unsigned long long)down_.dropped, (unsigned long long)down_.duplicated);
    return 0;
}

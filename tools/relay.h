#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <map>
#include <queue>
#include <random>
#include <string>
#include <vector>

namespace skirmish {

// The loopback address at a port, where the relays and the server they stand before listen.
sockaddr_in LoopbackAddress(uint16_t port);

// What one direction of a link does to the datagrams crossing it.
struct LinkImpairment {
    double lossPercent = 0;
    double delayMs = 0;
    double jitterMs = 0; // each datagram's delay is spread evenly over delay ± jitter
    double duplicatePercent = 0;
    double reorderPercent = 0; // held back one more full delay, so later ones overtake it
};

// The fate of one datagram: the delay of each copy that arrives (none: lost).
// Draws only from the generator, so one seed replays one run exactly.
std::vector<double> PlanDelivery(const LinkImpairment& link, std::mt19937& random);

// A UDP relay on loopback between clients and a server: each client address gets
// its own socket towards the server, so the server sees one peer per client.
// Single-threaded; run() serves until the time is up or stop() is called.
class ImpairmentRelay {
public:
    ImpairmentRelay(uint16_t listenPort, uint16_t serverPort, LinkImpairment up, LinkImpairment down, uint32_t seed);
    ~ImpairmentRelay();
    ImpairmentRelay(const ImpairmentRelay&) = delete;
    ImpairmentRelay& operator=(const ImpairmentRelay&) = delete;

    bool ok() const { return listen_ >= 0; }
    uint16_t port() const { return port_; }
    // Serves for at most the given time, returning early when stopped.
    void run(int milliseconds);
    void stop() { stopping_ = true; }
    // From now on every datagram is lost, both ways, as when a machine drops off the net.
    void cut() { cut_ = true; }
    bool isCut() const { return cut_; }

    struct Counts {
        uint64_t in = 0, dropped = 0, duplicated = 0, delivered = 0;
    };
    Counts upCounts() const { return upCounts_; }
    Counts downCounts() const { return downCounts_; }

private:
    struct Pending {
        double due; // ms since start
        uint64_t order;
        int socket;
        sockaddr_in to;
        std::vector<uint8_t> bytes;
        bool operator>(const Pending& other) const
        {
            return due != other.due ? due > other.due : order > other.order;
        }
    };

    double nowMs() const;
    void take(int socket, bool fromClient);
    void schedule(const LinkImpairment& link, Counts& counts, int socket, const sockaddr_in& to,
                  std::vector<uint8_t>&& bytes);
    void deliverDue();
    int upstreamFor(const sockaddr_in& client);

    int listen_ = -1;
    uint16_t port_ = 0;
    sockaddr_in server_{};
    LinkImpairment up_, down_;
    std::mt19937 random_;
    std::map<uint64_t, int> upstreamOfClient_; // client address and port -> socket to the server
    std::map<int, sockaddr_in> clientOfUpstream_;
    std::priority_queue<Pending, std::vector<Pending>, std::greater<>> queue_;
    uint64_t order_ = 0;
    double start_ = 0;
    bool stopping_ = false;
    bool cut_ = false;
    Counts upCounts_, downCounts_;
    std::vector<uint8_t> readBuffer_ = std::vector<uint8_t>(65536); // one for every read; a datagram keeps only its bytes
};

} // namespace skirmish

#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <random>
#include <vector>

namespace skirmish {

// How one direction of a TCP link is slowed: each chunk read is passed on delay ± jitter
// later (spread evenly), but never before the chunk read ahead of it. Bytes and their
// order are kept; only time changes.
struct StreamDelay {
    double delayMs = 0;
    double jitterMs = 0;
};

// A TCP relay on loopback between clients (browsers, WebSocket bots) and a server's web
// front: each accepted connection gets its own connection to the server, and a close or a
// reset on one side reaches the other after the data before it. Single-threaded; run()
// serves until the time is up or stop() is called.
class TcpRelay {
public:
    TcpRelay(uint16_t listenPort, uint16_t serverPort, StreamDelay up, StreamDelay down, uint32_t seed);
    ~TcpRelay();
    TcpRelay(const TcpRelay&) = delete;
    TcpRelay& operator=(const TcpRelay&) = delete;

    bool ok() const { return listen_ >= 0; }
    uint16_t port() const { return port_; }
    void run(int milliseconds);
    void stop() { stopping_ = true; }
    uint64_t connections() const { return connections_; }

private:
    struct Chunk {
        double due; // ms since start
        std::vector<uint8_t> bytes; // empty: the sender closed; pass the close on
        size_t written = 0;
    };
    // One direction of one connection: what was read from `from`, waiting to be written to `to`.
    struct Direction {
        int from = -1, to = -1;
        StreamDelay delay;
        std::deque<Chunk> queue;
        bool readEnded = false, writeEnded = false;
    };
    struct Pair {
        Direction up, down;
        bool broken = false;
    };

    double nowMs() const;
    void accept();
    void read(Direction& direction, Pair& pair);
    void write(Direction& direction, Pair& pair);

    int listen_ = -1;
    uint16_t port_ = 0;
    uint16_t serverPort_ = 0;
    StreamDelay up_, down_;
    std::mt19937 random_;
    std::vector<std::unique_ptr<Pair>> pairs_;
    double start_ = 0;
    bool stopping_ = false;
    uint64_t connections_ = 0;
};

} // namespace skirmish

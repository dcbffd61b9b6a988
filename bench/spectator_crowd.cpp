// A crowd of WebSocket spectators for the fan-out benchmark: each reads what the
// server sends and counts its messages, and no more. It costs the machine as little
// as a reader can (one thread, one epoll, no message copied), so the figures are the
// server's: a full client per spectator would need more CPU than the server spends.
//
// The handshake is one fixed request, the reading only walks frame headers and
// answers pings (a control frame's payload is under 126 bytes); the product's client
// half (and browsers) do the whole protocol.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "core/flags.h"

namespace skirmish {
namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    uint16_t port = 23987;
    int spectators = 100;
    double seconds = 20;
    double warmup = 5;
};

struct Counts {
    uint64_t messages = 0;
    uint64_t bytes = 0;
    uint64_t frames = 0;
};

class Spectator {
public:
    // Connects and upgrades, blocking; false when the server refused or did not answer.
    bool open(uint16_t port)
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in server{AF_INET, htons(port), {}, {}};
        inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
        timeval limit{5, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0)
            return false;
        const std::string request = "GET /watch HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                    "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
        if (write(fd_, request.data(), request.size()) != static_cast<ssize_t>(request.size()))
            return false;
        // Byte by byte up to the header's end, so no frame is read along with it.
        std::string header;
        char c;
        while (!header.ends_with("\r\n\r\n") && ::read(fd_, &c, 1) == 1)
            header += c;
        return header.starts_with("HTTP/1.1 101");
    }

    int fd() const { return fd_; }

    // Reads what is there and counts the whole frames in it; false once the server ended it.
    bool read(Counts& counts, bool measuring)
    {
        for (;;) {
            size_t used = buffer_.size();
            buffer_.resize(used + kReadBytes);
            ssize_t got = ::recv(fd_, buffer_.data() + used, kReadBytes, MSG_DONTWAIT);
            buffer_.resize(used + static_cast<size_t>(std::max<ssize_t>(got, 0)));
            if (got == 0)
                return false;
            if (got < 0)
                return errno == EAGAIN || errno == EWOULDBLOCK;
            if (measuring)
                counts.bytes += static_cast<uint64_t>(got);
            size_t done = countFrames(counts, measuring);
            buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<ptrdiff_t>(done));
        }
    }

private:
    static constexpr size_t kReadBytes = 64 * 1024;

    // Server frames are unmasked: 2 bytes, then 2 or 8 of length, then the payload,
    // a packet of messages each led by its 16-bit little-endian length.
    size_t countFrames(Counts& counts, bool measuring)
    {
        size_t at = 0;
        while (buffer_.size() - at >= 2) {
            uint64_t length = buffer_[at + 1] & 0x7F;
            size_t head = 2;
            if (length == 126) {
                head = 4;
                if (buffer_.size() - at < head)
                    break;
                length = (uint64_t{buffer_[at + 2]} << 8) | buffer_[at + 3];
            } else if (length == 127) {
                head = 10;
                if (buffer_.size() - at < head)
                    break;
                length = 0;
                for (size_t i = 2; i < 10; ++i)
                    length = (length << 8) | buffer_[at + i];
            }
            if (buffer_.size() - at - head < length)
                break;
            if ((buffer_[at] & 0x0F) == 9) // a ping: the server drops a spectator that never answers
                pong(at + head, length);
            uint8_t opcode = buffer_[at] & 0x0F;
            if (opcode == 2 || opcode == 0) { // binary, or its continuation
                counts.frames += measuring && opcode == 2;
                walkMessages(&buffer_[at + head], length, counts, measuring);
            }
            at += head + length;
        }
        return at;
    }

    // The packets' bytes, end to end, are messages each led by its 16-bit little-endian length.
    void walkMessages(const uint8_t* bytes, size_t size, Counts& counts, bool measuring)
    {
        while (size > 0) {
            if (skip_ > 0) {
                size_t skipped = std::min<size_t>(skip_, size);
                skip_ -= skipped;
                bytes += skipped;
                size -= skipped;
                continue;
            }
            length_[lengthBytes_++] = *bytes++;
            --size;
            if (lengthBytes_ == 2) {
                skip_ = length_[0] | (size_t{length_[1]} << 8);
                lengthBytes_ = 0;
                counts.messages += measuring;
            }
        }
    }

    // A client's frame is masked; a zero mask leaves the payload as it is.
    void pong(size_t payload, uint64_t length)
    {
        std::vector<uint8_t> frame = {0x8A, static_cast<uint8_t>(0x80 | length), 0, 0, 0, 0};
        frame.insert(frame.end(), buffer_.begin() + static_cast<ptrdiff_t>(payload),
                     buffer_.begin() + static_cast<ptrdiff_t>(payload + length));
        [[maybe_unused]] ssize_t sent = ::send(fd_, frame.data(), frame.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    }

    int fd_ = -1;
    std::vector<uint8_t> buffer_;
    size_t skip_ = 0; // bytes of the current message still to pass
    uint8_t length_[2] = {};
    int lengthBytes_ = 0;
};

int Run(const Options& options)
{
    std::vector<Spectator> crowd(static_cast<size_t>(options.spectators));
    int epoll = epoll_create1(0);
    int connected = 0;
    Counts counts;
    int lost = 0;
    std::vector<epoll_event> events(256);
    // Reads what is ready for up to timeoutMs; counted only while measuring.
    auto readReady = [&](int timeoutMs, bool measuring) {
        int ready = epoll_wait(epoll, events.data(), static_cast<int>(events.size()), timeoutMs);
        for (int i = 0; i < ready; ++i) {
            Spectator& spectator = crowd[events[static_cast<size_t>(i)].data.u64];
            if (!spectator.read(counts, measuring)) {
                ++lost;
                epoll_ctl(epoll, EPOLL_CTL_DEL, spectator.fd(), nullptr);
            }
        }
    };
    // Those already watching keep reading while the rest connect.
    for (size_t i = 0; i < crowd.size(); ++i) {
        readReady(0, false);
        if (!crowd[i].open(options.port))
            continue;
        ++connected;
        epoll_event event{EPOLLIN, {.u64 = i}};
        epoll_ctl(epoll, EPOLL_CTL_ADD, crowd[i].fd(), &event);
    }
    std::printf("measuring after %.0f s warm-up, %d spectators connected\n", options.warmup, connected);
    std::fflush(stdout);
    const auto start = Clock::now();
    const auto measureFrom = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.warmup));
    const auto end = measureFrom + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.seconds));
    for (auto now = start; now < end; now = Clock::now())
        readReady(100, now >= measureFrom);
    std::printf("RESULT spectators=%d connected=%d lost=%d msgs_per_s=%.0f bytes_per_s=%.0f frames_per_s=%.0f\n",
                options.spectators, connected, lost, counts.messages / options.seconds, counts.bytes / options.seconds,
                counts.frames / options.seconds);
    return connected == options.spectators && lost == 0 ? 0 : 1;
}

} // namespace
} // namespace skirmish

int main(int argc, char** argv)
{
    using namespace skirmish;
    Options options;
    auto seconds = [](double& into, double least) {
        return [&into, least](std::string_view v) { return (into = ParseReal(v).value_or(-1)) >= least; };
    };
    std::vector<Flag> flags = {
        {"--port", true,
         [&](std::string_view v) { return (options.port = static_cast<uint16_t>(ParseWhole(v, 1, 65535).value_or(0))) != 0; }},
        {"--spectators", true,
         [&](std::string_view v) { return (options.spectators = static_cast<int>(ParseWhole(v, 1, 100000).value_or(0))) != 0; }},
        {"--seconds", true, seconds(options.seconds, 1)},
        {"--warmup", true, seconds(options.warmup, 0)},
    };
    std::string error = ParseFlags(argc, argv, flags);
    if (!error.empty()) {
        std::cerr << "spectator-crowd: " << error
                  << "\nusage: spectator-crowd [--port N] [--spectators N] [--seconds S] [--warmup S]\n";
        return 2;
    }
    return Run(options);
}

#include "tools/tcp_relay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>

#include "tools/relay.h"

namespace skirmish {
namespace {

// Small writes go out at once: the relay adds its own delay and no other.
void NoDelay(int fd)
{
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

constexpr size_t kReadBytes = 64 * 1024;
// A direction holding this much unwritten stops reading, so a slow side slows the other.
// Each chunk counts its bookkeeping too: a sender of one-byte writes is held to the cap
// in memory, not only in bytes.
constexpr size_t kMaxQueued = 4 * 1024 * 1024;
constexpr size_t kChunkCost = 64;

} // namespace

TcpRelay::TcpRelay(uint16_t listenPort, uint16_t serverPort, StreamDelay up, StreamDelay down, uint32_t seed)
    : serverPort_(serverPort), up_(up), down_(down), random_(seed)
{
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = LoopbackAddress(listenPort);
    if (listen_ < 0 || bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listen_, 64) != 0) {
        if (listen_ >= 0)
            close(listen_);
        listen_ = -1;
        return;
    }
    socklen_t length = sizeof address;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    start_ = nowMs();
}

TcpRelay::~TcpRelay()
{
    if (listen_ >= 0)
        close(listen_);
    for (auto& pair : pairs_) {
        close(pair->up.from);
        close(pair->up.to);
    }
}

double TcpRelay::nowMs() const
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count() -
           start_;
}

void TcpRelay::accept()
{
    for (;;) {
        int client = accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0)
            return;
        // Loopback connects at once; a server that is not there is a client closed at once.
        int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = LoopbackAddress(serverPort_);
        if (server < 0 || connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            if (server >= 0)
                close(server);
            close(client);
            continue;
        }
        fcntl(server, F_SETFL, fcntl(server, F_GETFL) | O_NONBLOCK);
        NoDelay(client);
        NoDelay(server);
        auto pair = std::make_unique<Pair>();
        pair->up = {client, server, up_, {}, false, false};
        pair->down = {server, client, down_, {}, false, false};
        pairs_.push_back(std::move(pair));
        ++connections_;
    }
}

void TcpRelay::read(Direction& direction, Pair& pair)
{
    if (direction.readEnded)
        return;
    thread_local std::vector<uint8_t> scratch(kReadBytes);
    ssize_t got = recv(direction.from, scratch.data(), scratch.size(), 0);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (got < 0) {
        pair.broken = true; // a reset: both ends go at once, as a reset would take them
        return;
    }
    direction.readEnded = got == 0;
    std::uniform_real_distribution<double> spread(-1.0, 1.0);
    double due = nowMs() + std::max(0.0, direction.delay.delayMs + spread(random_) * direction.delay.jitterMs);
    // A queue: nothing overtakes what was read before it, however its delay was drawn.
    // Bytes due no later than the chunk ahead of them go out with it, as they would anyway.
    Chunk* last = direction.queue.empty() ? nullptr : &direction.queue.back();
    if (got > 0 && last && !last->bytes.empty() && due <= last->due)
        last->bytes.insert(last->bytes.end(), scratch.begin(), scratch.begin() + got);
    else
        direction.queue.push_back({due, std::vector<uint8_t>(scratch.begin(), scratch.begin() + got), 0});
}

void TcpRelay::write(Direction& direction, Pair& pair)
{
    const double now = nowMs();
    while (!direction.queue.empty() && direction.queue.front().due <= now && !direction.writeEnded) {
        Chunk& chunk = direction.queue.front();
        if (chunk.bytes.empty()) {
            shutdown(direction.to, SHUT_WR);
            direction.writeEnded = true;
            break;
        }
        ssize_t sent = send(direction.to, chunk.bytes.data() + chunk.written, chunk.bytes.size() - chunk.written,
                            MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                pair.broken = true;
            return;
        }
        chunk.written += static_cast<size_t>(sent);
        if (chunk.written < chunk.bytes.size())
            return;
        direction.queue.pop_front();
    }
}

void TcpRelay::run(int milliseconds)
{
    const double end = nowMs() + milliseconds;
    while (!stopping_) {
        double now = nowMs();
        if (now >= end)
            return;
        double wait = end - now;
        std::vector<pollfd> fds{{listen_, POLLIN, 0}};
        for (auto& pair : pairs_)
            for (Direction* d : {&pair->up, &pair->down}) {
                size_t queued = 0;
                for (const Chunk& chunk : d->queue)
                    queued += chunk.bytes.size() - chunk.written + kChunkCost;
                short events = 0;
                if (!d->readEnded && queued < kMaxQueued)
                    events |= POLLIN;
                if (!d->queue.empty()) {
                    double due = d->queue.front().due;
                    if (due <= now)
                        events |= POLLOUT;
                    else
                        wait = std::min(wait, due - now);
                }
                // The reader's descriptor for reads, the writer's for writes: two entries per direction.
                fds.push_back({d->from, static_cast<short>(events & POLLIN), 0});
                fds.push_back({d->to, static_cast<short>(events & POLLOUT), 0});
            }
        poll(fds.data(), fds.size(), static_cast<int>(std::ceil(wait)));
        if (fds[0].revents & POLLIN)
            accept();
        size_t at = 1;
        for (size_t i = 0; i < pairs_.size() && at + 3 < fds.size(); ++i) {
            Pair& pair = *pairs_[i];
            for (Direction* d : {&pair.up, &pair.down}) {
                if (fds[at].revents & (POLLIN | POLLHUP | POLLERR))
                    read(*d, pair);
                write(*d, pair);
                at += 2;
            }
        }
        // A pair ends once both directions have passed their close on, or at a reset.
        std::erase_if(pairs_, [](const std::unique_ptr<Pair>& pair) {
            bool done = pair->broken || (pair->up.writeEnded && pair->down.writeEnded);
            if (done) {
                close(pair->up.from);
                close(pair->up.to);
            }
            return done;
        });
    }
}

} // namespace skirmish

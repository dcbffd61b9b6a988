#include "tools/relay.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>

namespace skirmish {

sockaddr_in LoopbackAddress(uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

namespace {

int BoundSocket(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    int bytes = 4 * 1024 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    sockaddr_in address = LoopbackAddress(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

uint64_t KeyOf(const sockaddr_in& address)
{
    return (static_cast<uint64_t>(address.sin_addr.s_addr) << 16) | address.sin_port;
}

} // namespace

std::vector<double> PlanDelivery(const LinkImpairment& link, std::mt19937& random)
{
    std::uniform_real_distribution<double> percent(0.0, 100.0);
    std::uniform_real_distribution<double> spread(-1.0, 1.0);
    // Every datagram takes the same number of draws, lost or not, so the fate of
    // one never shifts the fates of those after it.
    double lossDraw = percent(random);
    double duplicateDraw = percent(random);
    double reorderDraw = percent(random);
    double jitter[2] = {spread(random), spread(random)};
    std::vector<double> copies;
    if (lossDraw < link.lossPercent)
        return copies;
    int count = duplicateDraw < link.duplicatePercent ? 2 : 1;
    for (int i = 0; i < count; ++i) {
        double delay = std::max(0.0, link.delayMs + jitter[i] * link.jitterMs);
        if (reorderDraw < link.reorderPercent)
            delay += std::max(link.delayMs, 1.0);
        copies.push_back(delay);
    }
    return copies;
}

ImpairmentRelay::ImpairmentRelay(uint16_t listenPort, uint16_t serverPort, LinkImpairment up, LinkImpairment down,
                                 uint32_t seed)
    : server_(LoopbackAddress(serverPort)), up_(up), down_(down), random_(seed)
{
    listen_ = BoundSocket(listenPort);
    if (listen_ >= 0) {
        sockaddr_in bound{};
        socklen_t length = sizeof bound;
        getsockname(listen_, reinterpret_cast<sockaddr*>(&bound), &length);
        port_ = ntohs(bound.sin_port);
    }
    start_ = nowMs();
}

ImpairmentRelay::~ImpairmentRelay()
{
    if (listen_ >= 0)
        close(listen_);
    for (auto& [fd, client] : clientOfUpstream_)
        close(fd);
}

double ImpairmentRelay::nowMs() const
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int ImpairmentRelay::upstreamFor(const sockaddr_in& client)
{
    auto known = upstreamOfClient_.find(KeyOf(client));
    if (known != upstreamOfClient_.end())
        return known->second;
    int fd = BoundSocket(0);
    if (fd < 0)
        return -1;
    upstreamOfClient_[KeyOf(client)] = fd;
    clientOfUpstream_[fd] = client;
    return fd;
}

void ImpairmentRelay::schedule(const LinkImpairment& link, Counts& counts, int socket, const sockaddr_in& to,
                               std::vector<uint8_t>&& bytes)
{
    ++counts.in;
    std::vector<double> copies = PlanDelivery(link, random_);
    if (copies.empty()) {
        ++counts.dropped;
        return;
    }
    counts.duplicated += copies.size() - 1;
    double now = nowMs() - start_;
    for (size_t i = 0; i < copies.size(); ++i)
        queue_.push(Pending{now + copies[i], order_++, socket, to, i + 1 < copies.size() ? bytes : std::move(bytes)});
}

void ImpairmentRelay::take(int socket, bool fromClient)
{
    for (;;) {
        sockaddr_in from{};
        socklen_t length = sizeof from;
        ssize_t got = recvfrom(socket, readBuffer_.data(), readBuffer_.size(), 0, reinterpret_cast<sockaddr*>(&from),
                               &length);
        if (got < 0)
            return;
        Counts& counts = fromClient ? upCounts_ : downCounts_;
        if (cut_) {
            ++counts.in;
            ++counts.dropped;
            continue;
        }
        std::vector<uint8_t> bytes(readBuffer_.begin(), readBuffer_.begin() + got);
        if (fromClient) {
            int upstream = upstreamFor(from);
            if (upstream >= 0)
                schedule(up_, upCounts_, upstream, server_, std::move(bytes));
        } else {
            schedule(down_, downCounts_, listen_, clientOfUpstream_[socket], std::move(bytes));
        }
    }
}

void ImpairmentRelay::deliverDue()
{
    double now = nowMs() - start_;
    while (!queue_.empty() && queue_.top().due <= now) {
        const Pending& next = queue_.top();
        sendto(next.socket, next.bytes.data(), next.bytes.size(), 0, reinterpret_cast<const sockaddr*>(&next.to),
               sizeof next.to);
        ++(next.socket == listen_ ? downCounts_ : upCounts_).delivered;
        queue_.pop();
    }
}

void ImpairmentRelay::run(int milliseconds)
{
    const double end = nowMs() - start_ + milliseconds;
    while (!stopping_) {
        double now = nowMs() - start_;
        if (now >= end)
            return;
        double wait = end - now;
        if (!queue_.empty())
            wait = std::min(wait, std::max(0.0, queue_.top().due - now));
        std::vector<pollfd> fds{{listen_, POLLIN, 0}};
        for (auto& [fd, client] : clientOfUpstream_)
            fds.push_back({fd, POLLIN, 0});
        poll(fds.data(), fds.size(), static_cast<int>(std::ceil(wait)));
        for (const pollfd& fd : fds)
            if (fd.revents & POLLIN)
                take(fd.fd, fd.fd == listen_);
        deliverDue();
    }
}

} // namespace skirmish

// tick-capture: the movement tick's cadence as the kernel sees the server send it, for
// bench/cadence.sh. A packet socket on the loopback device takes every UDP datagram
// leaving the server's port with the kernel's own timestamp, so the figure does not
// depend on any receiver being scheduled in time. A datagram that carries "ProjMove"
// in the clear (wire version 1) belongs to a tick; to each destination, one sent more
// than --pause ms after the previous such datagram starts a new tick. A gap is the
// time between two tick starts to one destination; the figures are over every
// destination's gaps. Needs CAP_NET_RAW.
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/flags.h"
#include "protocol/names.h"

namespace {

using namespace skirmish;

const char* const kUsage = R"(Usage: tick-capture [options]

  --port P       the server's UDP port (default 23987)
  --seconds S    seconds captured (default 20)
  --pause MS     a silence that starts a new tick, per destination (default 4)
  --help         this text

The last line, starting "RESULT", gives every figure as key=value pairs.
)";

struct Destination {
    double lastMs = -1e9;      // the last datagram carrying a step
    double tickStartMs = -1;   // the start of the tick it belongs to
};

double Percentile(std::vector<double>& sorted, double p)
{
    if (sorted.empty())
        return 0;
    size_t at = std::min(sorted.size() - 1, static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5));
    return sorted[at];
}

} // namespace

int main(int argc, char** argv)
{
    int64_t port = 23987;
    double seconds = 20, pauseMs = 4;
    bool help = false;
    const Flag flags[] = {
        {"--help", false, [&](std::string_view) { return help = true; }},
        {"--port", true, WholeInto(port, 1, 65535)},
        {"--seconds", true, NonNegativeInto(seconds)},
        {"--pause", true, NonNegativeInto(pauseMs)},
    };
    std::string error = ParseFlags(argc, argv, flags);
    if (help && error.empty()) {
        std::cout << kUsage;
        return 0;
    }
    if (!error.empty()) {
        std::cerr << "tick-capture: " << error << "\n\n" << kUsage;
        return 2;
    }

    // Only a socket for every protocol is shown datagrams as they leave.
    int sock = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_ALL));
    if (sock < 0) {
        std::perror("tick-capture: packet socket (needs CAP_NET_RAW)");
        return 1;
    }
    sockaddr_ll at{};
    at.sll_family = AF_PACKET;
    at.sll_protocol = htons(ETH_P_ALL);
    at.sll_ifindex = static_cast<int>(if_nametoindex("lo"));
    int on = 1, buffer = 64 << 20;
    if (bind(sock, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        setsockopt(sock, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0) {
        std::perror("tick-capture: loopback");
        return 1;
    }
    setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);

    std::unordered_map<uint16_t, Destination> destinations;
    std::vector<double> gaps;
    size_t datagrams = 0, stepping = 0;
    const std::string_view marker = names::kProjMove;
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    alignas(8) unsigned char packet[65536];
    alignas(8) unsigned char control[256];
    while (std::chrono::steady_clock::now() < until) {
        pollfd ready{sock, POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0)
            continue;
        for (;;) {
            sockaddr_ll from{};
            iovec part{packet, sizeof packet};
            msghdr header{};
            header.msg_name = &from;
            header.msg_namelen = sizeof from;
            header.msg_iov = &part;
            header.msg_iovlen = 1;
            header.msg_control = control;
            header.msg_controllen = sizeof control;
            ssize_t length = recvmsg(sock, &header, MSG_DONTWAIT);
            if (length < 0)
                break;
            // Loopback shows each datagram twice: leaving and arriving. Only the leaving one counts.
            if (length < static_cast<ssize_t>(sizeof(iphdr) + sizeof(udphdr)) || from.sll_pkttype != PACKET_OUTGOING ||
                from.sll_protocol != htons(ETH_P_IP))
                continue;
            const auto* ip = reinterpret_cast<const iphdr*>(packet);
            const size_t ipLength = static_cast<size_t>(ip->ihl) * 4;
            if (ip->protocol != IPPROTO_UDP || ipLength < sizeof(iphdr) ||
                static_cast<size_t>(length) < ipLength + sizeof(udphdr))
                continue;
            const auto* udp = reinterpret_cast<const udphdr*>(packet + ipLength);
            if (ntohs(udp->source) != port)
                continue;
            ++datagrams;
            std::string_view payload(reinterpret_cast<const char*>(packet + ipLength + sizeof(udphdr)),
                                     static_cast<size_t>(length) - ipLength - sizeof(udphdr));
            if (payload.find(marker) == std::string_view::npos)
                continue;
            ++stepping;
            double sentMs = 0;
            for (cmsghdr* c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c))
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec stamp;
                    std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
                    sentMs = static_cast<double>(stamp.tv_sec) * 1e3 + static_cast<double>(stamp.tv_nsec) / 1e6;
                }
            Destination& to = destinations[ntohs(udp->dest)];
            if (sentMs - to.lastMs > pauseMs) {
                if (to.tickStartMs >= 0)
                    gaps.push_back(sentMs - to.tickStartMs);
                to.tickStartMs = sentMs;
            }
            to.lastMs = sentMs;
        }
    }
    std::sort(gaps.begin(), gaps.end());
    const size_t over = static_cast<size_t>(gaps.end() - std::upper_bound(gaps.begin(), gaps.end(), 20.0));
    const double overPct = gaps.empty() ? 0 : 100.0 * static_cast<double>(over) / static_cast<double>(gaps.size());
    std::printf("%zu datagrams from port %lld, %zu with steps, to %zu destinations; tick gap p50 %.1f p99 %.1f max "
                "%.1f ms, %.1f %% over 20 ms\n",
                datagrams, static_cast<long long>(port), stepping, destinations.size(), Percentile(gaps, 0.5),
                Percentile(gaps, 0.99), gaps.empty() ? 0 : gaps.back(), overPct);
    std::printf("RESULT datagrams=%zu stepping=%zu destinations=%zu gaps=%zu gap_p50=%.1f gap_p99=%.1f gap_max=%.1f "
                "over20_pct=%.1f\n",
                datagrams, stepping, destinations.size(), gaps.size(), Percentile(gaps, 0.5), Percentile(gaps, 0.99),
                gaps.empty() ? 0 : gaps.back(), overPct);
    close(sock);
    return 0;
}

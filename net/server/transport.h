#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "net/server/net.h"
#include "net/shared/limits.h"
#include "protocol/codec.h"

namespace skirmish {

// What a transport reports to the network layer above it.
class TransportEvents {
public:
    virtual ~TransportEvents() = default;
    // A new connection asking to be a role in a wire version: returns its id, or 0 when every id of that
    // role is taken (the transport then refuses it as from a full server), or
    // kRefusedBanned when its address is banned (refused with the ban's farewell).
    static constexpr int kRefusedBanned = -1;
    virtual int onConnect(const std::string& address, ConnectRequest request) = 0;
    // The connection with this id has ended, whoever ended it.
    virtual void onDisconnect(int id) = 0;
    // A packet from the connection with this id.
    virtual void onPacket(int id, std::span<const uint8_t> packet) = 0;
    // Why a transport ended a connection itself (its onDisconnect follows).
    enum class DropCause { Stalled, Silent, Oversized };
    virtual void onDrop(DropCause) {}
    // The web front closed a new connection unread: every place for connections that
    // are not players was taken, or every place of its address, with none idle to give way.
    virtual void onWebRefused() {}
    // Bytes of this connection's input taken in but not yet handled. While they reach
    // kMaxWaitingInputBytes the transport reads no more of that connection (the rest
    // waits in the socket, or ENet stops acknowledging it); other connections go on.
    virtual size_t waitingInput(int /*id*/) const { return 0; }
    // Unacknowledged output one connection may hold; past it, it is dropped as stalled.
    virtual size_t backlogCap() const { return kMaxOutgoingBacklogBytes; }
};

// An IPv4 address and port as the UDP socket has them (network byte order, as ENet keeps them).
struct UdpAddress {
    uint32_t host = 0;
    uint16_t port = 0;
    bool operator==(const UdpAddress&) const = default;
};

// Datagrams on the UDP port that are not ENet's (a browser's STUN and DTLS): offered
// here first; true when taken, and ENet never sees them.
using DatagramTap = std::function<bool(const UdpAddress& from, std::span<const uint8_t> datagram)>;

// A packet whose bytes many connections send as they are, never copied for each.
using SharedPacket = std::shared_ptr<const Bytes>;

// Input of one connection taken in and not yet handled, at most (one packet may pass it).
constexpr size_t kMaxWaitingInputBytes = 256 * 1024;

// The server's transport under the Net* operations: ENet in the product, an
// in-memory double in tests. Ids are the network layer's; the transport keeps its own map.
class Transport {
public:
    virtual ~Transport() = default;
    // Opens the host for up to maxConnections connections; on failure fills error.
    virtual bool open(uint16_t port, int maxConnections, TransportEvents& events, std::string& error) = 0;
    virtual bool isOpen() const = 0;
    // Handles arrived traffic, waiting up to timeout for some when there is none
    // (a negative timeout: as long as nothing arrives). With untilTimeout, it goes on
    // taking traffic until the whole time has passed.
    virtual void service(std::chrono::microseconds timeout, bool untilTimeout) = 0;
    // Queues one packet, delivered reliably and in order.
    virtual void sendPacket(int id, Bytes&& packet) = 0;
    // Queues one packet that may be lost and that waits for nothing: ENet sends it
    // unsequenced on the second channel; a transport with one ordered stream sends it
    // in order with the rest.
    virtual void sendUnreliable(int id, Bytes&& packet) { sendPacket(id, std::move(packet)); }
    // The same for a packet shared by many connections; in order with sendPacket's.
    virtual void sendShared(int id, const SharedPacket& packet) { sendPacket(id, Bytes(*packet)); }
    // Delivers everything queued, disconnects every connection and closes the host.
    virtual void close() = 0;
    // Ends one connection once what is queued for it has gone, saying why; its
    // onDisconnect comes at once, and nothing it sends from here on is reported.
    virtual void endConnection(int id, const Farewell& farewell) = 0;
    // The connection's smoothed round-trip time, when the transport measures one.
    virtual std::optional<int> roundTripMs(int /*id*/) const { return std::nullopt; }
    // The port actually bound (differs from the one asked for when that was 0).
    virtual uint16_t boundPort() const = 0;

    // For a wait shared with other transports: sends what is queued and says which
    // descriptor's readiness should end the wait (-1: none) and how long the wait
    // may last before this transport needs servicing again (-1: no limit).
    struct WaitPlan {
        int descriptor = -1;
        int maxWaitMs = -1;
        // The wait asked for (negative: no limit), shortened to what this plan allows.
        std::chrono::microseconds limit(std::chrono::microseconds timeout) const
        {
            if (maxWaitMs < 0)
                return timeout;
            const std::chrono::microseconds most = std::chrono::milliseconds(maxWaitMs);
            return timeout.count() < 0 ? most : std::min(timeout, most);
        }
    };
    virtual WaitPlan prepareWait() { return {}; }
    // Datagrams of others on the UDP port, in and out (a transport without one ignores both).
    virtual void tapDatagrams(DatagramTap) {}
    virtual void sendDatagram(const UdpAddress& /*to*/, std::span<const uint8_t> /*datagram*/) {}
    // Browsers' data channels open, and the states sent on them.
    struct DatagramStats {
        int channels = 0;
        uint64_t statesSent = 0;
    };
    virtual DatagramStats datagramStats() const { return {}; }
    // Whether the connection with this id is a browser's, over the web front.
    virtual bool isWebConnection(int /*id*/) const { return false; }
};

// Readable once a stop was requested, so that any wait on it ends at once.
int StopWakeDescriptor();

// The wakes set by NetWakeOn, which every transport's wait watches besides its own.
const std::vector<Wake>& ExtraWakes();

} // namespace skirmish

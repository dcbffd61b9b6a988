#include "net/server/enet_transport.h"

#include "net/shared/enet_peers.h"
#include "net/shared/limits.h"

#include <enet/enet.h>
#include <enet/time.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace skirmish {
namespace {

constexpr int kSocketBufferBytes = 4 * 1024 * 1024;
// Events handled in one service call at most, so a flood cannot hold the loop.
constexpr int kMaxEventsPerService = 4096;
constexpr int kCloseGraceMs = 1000;
constexpr size_t kChannels = 2;
// Resend delays are capped this often, not at every service: it walks every queue.
constexpr enet_uint32 kResendCapEveryMs = 20;
// ENet walks a peer's whole queue at every send, and resends all it has in flight at
// every timeout: a crowd that stops acknowledging at once would cost each pass a walk
// over megabytes of fragments and each resend round a burst of its whole window. So a
// peer is handed at most this much beyond what it has acknowledged (the rest waits in
// our own queue, which is never walked; the window is 64 KiB, so this keeps it full)...
constexpr size_t kMostBytesInEnet = 128 * 1024;
// ...and a peer that has answered nothing for this long (or two round trips, if longer)
// while holding data in flight is sent nothing new until it answers.
constexpr enet_uint32 kNarrowWindowQuietMs = 100;
// Its one datagram is resent once a resend delay, and no sooner than this: a crowd that
// vanishes costs a datagram each now and then, while a live client on a link that
// loses a fifth of everything gets many chances to answer before it would be dropped.
constexpr enet_uint32 kUnansweredResendFloorMs = 500;
// A peer is dropped as stalled only once it has left at least this many of those
// resends unanswered (and never later than the silent rule).
constexpr enet_uint32 kUnansweredResendsBeforeStalled = 10;
// While anyone is connected ENet must be serviced this often at least: it resends
// unacknowledged data and notices silent peers only when called.
constexpr int kConnectedWaitCapMs = 50;

// A packet's free callback gives its bytes back to its peer's backlog, wherever it waits.
void ReleaseBacklog(ENetPacket* packet)
{
    *static_cast<size_t*>(packet->userData) -= packet->dataLength;
}

// A shared packet's bytes, kept alive while ENet holds a packet made over them.
struct SharedHold {
    SharedPacket bytes;
    size_t* backlog;
};

void ReleaseSharedHold(ENetPacket* packet)
{
    auto* hold = static_cast<SharedHold*>(packet->userData);
    *hold->backlog -= packet->dataLength;
    delete hold;
}


// Raises a socket buffer past the system's default cap where we may (root), else as far as allowed.
void RaiseSocketBuffer(ENetSocket socket, int forceOption, enet_uint32 option)
{
    int bytes = kSocketBufferBytes;
    if (setsockopt(socket, SOL_SOCKET, forceOption, &bytes, sizeof bytes) != 0)
        enet_socket_set_option(socket, static_cast<ENetSocketOption>(option), kSocketBufferBytes);
}

class EnetTransport;
// The transport whose host ENet is servicing on this thread: ENet's intercept
// callback is a plain function with no room for a pointer of ours.
thread_local EnetTransport* servicing = nullptr;
int InterceptForeign(ENetHost* host, ENetEvent* event);

class EnetTransport final : public Transport {
public:
    ~EnetTransport() override { close(); }

    bool open(uint16_t port, int maxConnections, TransportEvents& events, std::string& error) override
    {
        close();
        if (!EnsureEnetInitialised()) {
            error = "ENet could not be initialised";
            return false;
        }
        ENetAddress address{};
        address.host = ENET_HOST_ANY;
        address.port = port;
        // One spare peer lets a client beyond the last id be told "full" at once
        // instead of waiting for a timeout.
        size_t peerCount = static_cast<size_t>(maxConnections) + 1;
        errno = 0;
        // Channel 0 carries everything in order; version 3 clients' states go unsequenced on channel 1.
        host_ = enet_host_create(&address, peerCount, kChannels, 0, 0);
        if (!host_) {
            int cause = errno;
            error = "Cannot host on UDP port " + std::to_string(port) + ": " +
                    (cause ? std::strerror(cause) : "host creation failed");
            return false;
        }
        host_->maximumPacketSize = kMaxIncomingPacketBytes;
        host_->intercept = tap_ ? InterceptForeign : nullptr;
        host_->maximumWaitingData = kMaxWaitingInputBytes;
        RaiseSocketBuffer(host_->socket, SO_RCVBUFFORCE, ENET_SOCKOPT_RCVBUF);
        RaiseSocketBuffer(host_->socket, SO_SNDBUFFORCE, ENET_SOCKOPT_SNDBUF);
        events_ = &events;
        backlog_.assign(peerCount, 0);
        held_.assign(peerCount, {});
        window_.assign(peerCount, 0);
        countedInput_.assign(peerCount, 0);
        peerOfId_.assign(static_cast<size_t>(maxConnections) + 1, nullptr);
        kicks_.clear();
        return true;
    }

    bool isOpen() const override { return host_ != nullptr; }

    void service(std::chrono::microseconds timeout, bool untilTimeout) override
    {
        if (!host_)
            return;
        queueSilentPeers();
        dropKickedPeers();
        capResendDelays();
        if (untilTimeout && timeout.count() > 0) {
            // Let the traffic of the whole window gather in the socket, then take it
            // in one go: one round of acknowledgements instead of one per arrival, and
            // what is queued goes out with them, in the same datagrams.
            std::this_thread::sleep_for(timeout);
        } else if (timeout.count() != 0) {
            waitForTraffic(timeout);
        }
        countWaitingInput();
        ENetEvent event;
        servicing = this;
        for (int handled = 0; handled < kMaxEventsPerService && enet_host_service(host_, &event, 0) > 0; ++handled)
            handle(event);
        servicing = nullptr;
        handOverHeld();
        enet_host_flush(host_);
    }

    void sendPacket(int id, Bytes&& bytes) override
    {
        size_t* backlog = room(id, bytes.size());
        if (!backlog)
            return;
        ENetPacket* packet = enet_packet_create(bytes.data(), bytes.size(), ENET_PACKET_FLAG_RELIABLE);
        if (!packet)
            return;
        packet->userData = backlog;
        packet->freeCallback = ReleaseBacklog;
        send(id, packet);
    }

    // A state is superseded by the next one: it is never held behind a peer's backlog,
    // and a peer that stopped answering is sent none. A client that asked for one
    // channel has its states unsequenced on that one.
    void sendUnreliable(int id, Bytes&& bytes) override
    {
        ENetPeer* peer = peerOf(id);
        if (!peer || peer->channelCount == 0 || held_[indexOf(peer)].unanswered)
            return;
        ENetPacket* packet = enet_packet_create(bytes.data(), bytes.size(), ENET_PACKET_FLAG_UNSEQUENCED);
        if (packet && enet_peer_send(peer, static_cast<enet_uint8>(std::min<size_t>(1, peer->channelCount - 1)), packet) != 0)
            enet_packet_destroy(packet);
    }

    // ENet reads the shared bytes in place: only the packet's own record is made per peer.
    void sendShared(int id, const SharedPacket& bytes) override
    {
        size_t* backlog = room(id, bytes->size());
        if (!backlog)
            return;
        ENetPacket* packet = enet_packet_create(bytes->data(), bytes->size(),
                                                ENET_PACKET_FLAG_RELIABLE | ENET_PACKET_FLAG_NO_ALLOCATE);
        if (!packet)
            return;
        packet->userData = new SharedHold{bytes, backlog};
        packet->freeCallback = ReleaseSharedHold;
        send(id, packet);
    }

    void close() override
    {
        if (!host_)
            return;
        for (size_t i = 0; i < host_->peerCount; ++i) {
            ENetPeer& peer = host_->peers[i];
            handOverAll(&peer);
            if (peer.state == ENET_PEER_STATE_CONNECTED)
                enet_peer_disconnect_later(&peer, 0);
        }
        // Servicing until every client has acknowledged its disconnect delivers what was queued before it.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCloseGraceMs);
        ENetEvent event;
        while (connectedPeers() > 0 && std::chrono::steady_clock::now() < deadline) {
            if (enet_host_service(host_, &event, 10) > 0 && event.type == ENET_EVENT_TYPE_RECEIVE)
                enet_packet_destroy(event.packet);
        }
        for (size_t i = 0; i < host_->peerCount; ++i)
            discardHeld(&host_->peers[i]);
        enet_host_destroy(host_);
        host_ = nullptr;
        events_ = nullptr;
        peerOfId_.clear();
        kicks_.clear();
    }

    uint16_t boundPort() const override { return host_ ? host_->address.port : 0; }

    void tapDatagrams(DatagramTap tap) override
    {
        tap_ = std::move(tap);
        if (host_)
            host_->intercept = tap_ ? InterceptForeign : nullptr;
    }

    void sendDatagram(const UdpAddress& to, std::span<const uint8_t> datagram) override
    {
        if (!host_)
            return;
        ENetAddress address{to.host, to.port};
        ENetBuffer buffer{const_cast<uint8_t*>(datagram.data()), datagram.size()};
        enet_socket_send(host_->socket, &address, &buffer, 1);
    }

    // A datagram ENet has read, before it parses it: true when the tap took it.
    bool offerForeign()
    {
        return tap_ && tap_(UdpAddress{host_->receivedAddress.host, host_->receivedAddress.port},
                            std::span(static_cast<const uint8_t*>(host_->receivedData), host_->receivedDataLength));
    }

    // The peer leaves ENet's care once what was queued for it is acknowledged.
    void endConnection(int id, const Farewell& farewell) override
    {
        ENetPeer* peer = peerOf(id);
        if (!peer)
            return;
        handOverAll(peer);
        enet_peer_disconnect_later(peer, farewell.enetData);
        peer->data = nullptr;
        peerOfId_[id] = nullptr;
        events_->onDisconnect(id);
    }

    std::optional<int> roundTripMs(int id) const override
    {
        const ENetPeer* peer = peerOf(id);
        return peer ? std::optional<int>(static_cast<int>(peer->roundTripTime)) : std::nullopt;
    }

    WaitPlan prepareWait() override
    {
        if (!host_)
            return {};
        handOverHeld();
        enet_host_flush(host_);
        return {host_->socket, connectedPeers() > 0 ? kConnectedWaitCapMs : -1};
    }

private:
    ENetPeer* peerOf(int id) const
    {
        return host_ && id > 0 && static_cast<size_t>(id) < peerOfId_.size() ? peerOfId_[id] : nullptr;
    }

    // The backlog of the peer with this id when it has room for bytes more; null when
    // there is no such peer, or when it stopped acknowledging (it is then dropped at
    // the next service).
    size_t* room(int id, size_t bytes)
    {
        if (!peerOf(id))
            return nullptr;
        size_t& backlog = backlog_[indexOf(peerOfId_[id])];
        if (backlog + bytes > events_->backlogCap()) {
            kicks_.push_back({id, TransportEvents::DropCause::Stalled});
            return nullptr;
        }
        return &backlog;
    }

    size_t indexOf(const ENetPeer* peer) const { return static_cast<size_t>(peer - host_->peers); }

    // The packet waits behind any the peer holds already, and goes to ENet when there is room.
    void send(int id, ENetPacket* packet)
    {
        size_t index = indexOf(peerOfId_[id]);
        backlog_[index] += packet->dataLength;
        held_[index].packets.push_back(packet);
        held_[index].bytes += packet->dataLength;
        handOver(peerOfId_[id], kMostBytesInEnet);
    }

    // Hands the peer's held packets to ENet, in order, while what ENet holds for it
    // stays within limit (one packet always goes to an empty queue, however large).
    void handOver(ENetPeer* peer, size_t limit)
    {
        Held& held = held_[indexOf(peer)];
        if (held.unanswered && limit != SIZE_MAX)
            return;
        size_t& backlog = backlog_[indexOf(peer)];
        while (!held.packets.empty()) {
            ENetPacket* packet = held.packets.front();
            size_t inEnet = backlog - held.bytes;
            if (inEnet > 0 && inEnet + packet->dataLength > limit)
                return;
            held.packets.pop_front();
            held.bytes -= packet->dataLength;
            if (enet_peer_send(peer, 0, packet) != 0)
                enet_packet_destroy(packet);
        }
    }

    // Acknowledgements make room: every peer with packets held gets what fits.
    void handOverHeld()
    {
        for (ENetPeer* peer : peerOfId_)
            if (peer && !held_[indexOf(peer)].packets.empty())
                handOver(peer, kMostBytesInEnet);
    }

    // Before a peer is let go with what was queued for it: ENet sends it all first.
    void handOverAll(ENetPeer* peer)
    {
        if (peer->state == ENET_PEER_STATE_CONNECTED)
            handOver(peer, SIZE_MAX);
        discardHeld(peer);
    }

    void discardHeld(ENetPeer* peer)
    {
        Held& held = held_[indexOf(peer)];
        while (!held.packets.empty()) {
            ENetPacket* packet = held.packets.front();
            held.packets.pop_front();
            held.bytes -= packet->dataLength;
            enet_packet_destroy(packet);
        }
    }

    // Sleeps until a datagram arrives, a stop is requested, an extra wake is ready or
    // the time is up. Our own poll, unlike ENet's wait, also ends on a signal.
    void waitForTraffic(std::chrono::microseconds timeout)
    {
        WaitPlan plan = prepareWait();
        timeout = plan.limit(timeout);
        std::vector<pollfd> fds = {{plan.descriptor, POLLIN, 0}, {StopWakeDescriptor(), POLLIN, 0}};
        for (const Wake& wake : ExtraWakes())
            fds.push_back({wake.descriptor, static_cast<short>(wake.writable ? POLLOUT : POLLIN), 0});
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
        const timespec wait{static_cast<time_t>(seconds.count()),
                            static_cast<long>(std::chrono::nanoseconds(timeout - seconds).count())};
        ppoll(fds.data(), fds.size(), timeout.count() < 0 ? nullptr : &wait, nullptr);
    }

    static int idOf(const ENetPeer* peer) { return static_cast<int>(reinterpret_cast<intptr_t>(peer->data)); }

    size_t connectedPeers() const
    {
        size_t count = 0;
        for (size_t i = 0; i < host_->peerCount; ++i) {
            auto state = host_->peers[i].state;
            if (state != ENET_PEER_STATE_DISCONNECTED && state != ENET_PEER_STATE_ZOMBIE)
                ++count;
        }
        return count;
    }

    void handle(const ENetEvent& event)
    {
        switch (event.type) {
        case ENET_EVENT_TYPE_CONNECT: {
            char ip[64] = "";
            enet_address_get_host_ip(&event.peer->address, ip, sizeof ip);
            auto request = ParseConnectData(event.data);
            if (!request) {
                event.peer->data = nullptr;
                enet_peer_disconnect(event.peer, kDisconnectUnknownVersion);
                return;
            }
            int id = events_->onConnect(ip, *request);
            if (id <= 0) {
                event.peer->data = nullptr;
                enet_peer_disconnect(event.peer,
                                     id == TransportEvents::kRefusedBanned ? kDisconnectBanned : kDisconnectServerFull);
                return;
            }
            event.peer->data = reinterpret_cast<void*>(static_cast<intptr_t>(id));
            peerOfId_[id] = event.peer;
            window_[indexOf(event.peer)] = event.peer->windowSize;
            held_[indexOf(event.peer)].unanswered = false;
            held_[indexOf(event.peer)].dataSince = enet_time_get();
            countedInput_[indexOf(event.peer)] = 0;
            KeepAnsweringPeers(event.peer);
            return;
        }
        case ENET_EVENT_TYPE_RECEIVE: {
            int id = idOf(event.peer);
            if (id != 0) {
                events_->onPacket(id, std::span<const uint8_t>(event.packet->data, event.packet->dataLength));
                // Counted at once, so the cap holds within this service too.
                countedInput_[indexOf(event.peer)] += event.packet->dataLength;
                event.peer->totalWaitingData += event.packet->dataLength;
            }
            enet_packet_destroy(event.packet);
            return;
        }
        case ENET_EVENT_TYPE_DISCONNECT:
            forget(event.peer);
            return;
        case ENET_EVENT_TYPE_NONE:
            return;
        }
    }

    void forget(ENetPeer* peer)
    {
        int id = idOf(peer);
        discardHeld(peer);
        peer->data = nullptr;
        if (id == 0)
            return;
        peerOfId_[id] = nullptr;
        events_->onDisconnect(id);
    }

    // What the server has taken from a peer but not handled yet counts toward ENet's
    // own cap on a peer's waiting data: past it ENet stops acknowledging that peer's
    // packets, and its sender holds them, while every other peer is read as usual.
    void countWaitingInput()
    {
        for (size_t id = 1; id < peerOfId_.size(); ++id) {
            ENetPeer* peer = peerOfId_[id];
            if (!peer)
                continue;
            size_t& counted = countedInput_[indexOf(peer)];
            size_t waiting = events_->waitingInput(static_cast<int>(id));
            peer->totalWaitingData -= std::min(counted, peer->totalWaitingData);
            peer->totalWaitingData += waiting;
            counted = waiting;
        }
    }

    void capResendDelays()
    {
        enet_uint32 now = enet_time_get();
        if (ENET_TIME_DIFFERENCE(now, lastCap_) < kResendCapEveryMs)
            return;
        lastCap_ = now;
        for (ENetPeer* peer : peerOfId_) {
            if (!peer)
                continue;
            if (narrowWhileUnanswered(peer, now))
                CapResendDelays(peer, unansweredResendMs(peer));
            else
                CapResendDelays(peer);
        }
    }

    // A peer that holds data in flight and has answered nothing for a while is sent
    // nothing new and has a single datagram in flight (ENet resends all it has in flight
    // at each timeout), resent once a resend delay: a crowd that vanishes at once costs
    // the socket a datagram each now and then, not its window at every timeout. Its
    // window and our hand-over come back as soon as it answers. Returns whether the
    // peer is held so.
    bool narrowWhileUnanswered(ENetPeer* peer, enet_uint32 now)
    {
        size_t index = indexOf(peer);
        Held& held = held_[index];
        // In ENet's hands and not acknowledged: in flight, or taken back for a resend.
        bool holdsData = backlog_[index] > held.bytes;
        if (!holdsData)
            held.dataSince = now;
        // Silent since it last answered, or since it was sent data after a quiet spell:
        // an idle peer that is sent a burst has its round trip to answer it.
        enet_uint32 silentSince = ENET_TIME_LESS(peer->lastReceiveTime, held.dataSince) ? held.dataSince
                                                                                       : peer->lastReceiveTime;
        held.unanswered = holdsData && ENET_TIME_DIFFERENCE(now, silentSince) > narrowAfterMs(peer);
        // ENet never has less than one datagram in flight, whatever the window.
        peer->windowSize = held.unanswered ? 0 : window_[index];
        return held.unanswered;
    }

    static enet_uint32 narrowAfterMs(const ENetPeer* peer)
    {
        return std::max(kNarrowWindowQuietMs, 2 * peer->roundTripTime);
    }
    static enet_uint32 unansweredResendMs(const ENetPeer* peer)
    {
        return std::max(kUnansweredResendFloorMs, ResendDelayMs(peer));
    }

    // ENet's own timeout needs unacknowledged traffic to notice a vanished client, and
    // waits long: meanwhile every packet sent to it is kept, resent and walked at each
    // service. A peer holding data it has not acknowledged and answering nothing is
    // dropped as stalled soon; any connected peer that has sent nothing at all for
    // longer is dropped as silent.
    void queueSilentPeers()
    {
        enet_uint32 now = enet_time_get();
        for (size_t id = 1; id < peerOfId_.size(); ++id) {
            ENetPeer* peer = peerOfId_[id];
            if (!peer || peer->state != ENET_PEER_STATE_CONNECTED)
                continue;
            enet_uint32 quiet = ENET_TIME_DIFFERENCE(now, peer->lastReceiveTime);
            const enet_uint32 stalledAfter = std::max(
                kUnansweredPeerTimeoutMs, narrowAfterMs(peer) + kUnansweredResendsBeforeStalled * unansweredResendMs(peer));
            if (quiet > kSilentPeerTimeoutMs)
                kicks_.push_back({static_cast<int>(id), TransportEvents::DropCause::Silent});
            else if (quiet > stalledAfter && backlog_[indexOf(peer)] > 0)
                kicks_.push_back({static_cast<int>(id), TransportEvents::DropCause::Stalled});
        }
    }

    // Ends the connections queued for dropping (stalled or silent) and reports each as a leave.
    void dropKickedPeers()
    {
        for (auto [id, cause] : kicks_) {
            ENetPeer* peer = peerOfId_[id];
            if (!peer)
                continue;
            discardHeld(peer);
            events_->onDrop(cause);
            peer->data = nullptr;
            peerOfId_[id] = nullptr;
            enet_peer_disconnect_now(peer, 0);
            events_->onDisconnect(id);
        }
        kicks_.clear();
    }

    ENetHost* host_ = nullptr;
    TransportEvents* events_ = nullptr;
    struct Held {
        std::deque<ENetPacket*> packets; // not yet handed to ENet, in order
        size_t bytes = 0;
        bool unanswered = false; // nothing new is handed to ENet until the peer answers
        enet_uint32 dataSince = 0; // when it last held no data in ENet
    };
    std::vector<size_t> backlog_;      // unacknowledged bytes, held or in ENet, by peer index
    std::vector<Held> held_;           // by peer index
    std::vector<enet_uint32> window_;  // the window negotiated at connect, by peer index
    std::vector<size_t> countedInput_; // our waiting input added to ENet's count, by peer index
    std::vector<ENetPeer*> peerOfId_;  // by id
    std::vector<std::pair<int, TransportEvents::DropCause>> kicks_;
    enet_uint32 lastCap_ = 0;
    DatagramTap tap_;
};

int InterceptForeign(ENetHost*, ENetEvent*) { return servicing && servicing->offerForeign() ? 1 : 0; }

} // namespace

std::unique_ptr<Transport> MakeEnetTransport() { return std::make_unique<EnetTransport>(); }

} // namespace skirmish

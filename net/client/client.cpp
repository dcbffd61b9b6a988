#include "net/client/client.h"

#include <enet/enet.h>

#include <algorithm>
#include <chrono>
#include <deque>

#include <enet/time.h>

#include "net/client/websocket_link.h"
#include "net/shared/enet_peers.h"
#include "net/shared/limits.h"
#include "protocol/compact.h"
#include "protocol/version3.h"

namespace skirmish {

struct NetClient::Impl {
    ENetHost* host = nullptr;
    ENetPeer* peer = nullptr;
    bool isConnected = false;
    bool lost = false;
    bool full = false;
    uint32_t farewell = 0; // the server's disconnect data
    enet_uint32 lastHeard = 0;
    WireVersion version = WireVersion::V1;
    uint64_t received = 0; // bytes of packets
    PacketPacker outgoing;
    std::deque<Bytes> inbox;
    Bytes current;
    MessageReader reader;
    std::unique_ptr<WebSocketLink> web; // set while the connection is a WebSocket
    v3::Follower follower;               // version 3's states and flights, rebuilt
    std::vector<Bytes> rebuilt;

    bool linkOpen() const { return web ? web->open() : isConnected; }

    // Every message is kept in version 1's layout, which the reads take.
    void takePacket(std::span<const uint8_t> packet)
    {
        received += packet.size();
        for (size_t pos = 0; auto message = NextMessage(packet, pos, version);) {
            if (version == WireVersion::V3)
                follow(*message);
            else
                inbox.push_back(version == WireVersion::V1 ? Bytes(message->begin(), message->end())
                                                           : compact::Decode(*message));
        }
    }

    // A state applied whole is acknowledged at once, on the channel that never waits.
    void follow(std::span<const uint8_t> message)
    {
        rebuilt.clear();
        if (auto state = v3::ReadState(message)) {
            if (auto number = follower.state(*state, rebuilt))
                sendUnreliable(v3::StateAck(*number));
        } else {
            follower.message(message, rebuilt);
        }
        for (Bytes& v1 : rebuilt)
            inbox.push_back(std::move(v1));
    }

    void sendUnreliable(const Bytes& message)
    {
        Bytes packet;
        compact::PutVarint(packet, static_cast<uint32_t>(message.size()));
        packet.insert(packet.end(), message.begin(), message.end());
        if (web) {
            web->sendPacket(std::move(packet));
            return;
        }
        if (!peer || peer->channelCount == 0)
            return;
        ENetPacket* sent = enet_packet_create(packet.data(), packet.size(), ENET_PACKET_FLAG_UNSEQUENCED);
        if (sent && enet_peer_send(peer, static_cast<enet_uint8>(std::min<size_t>(1, peer->channelCount - 1)), sent) != 0)
            enet_packet_destroy(sent);
    }

    void handle(const ENetEvent& event)
    {
        switch (event.type) {
        case ENET_EVENT_TYPE_CONNECT:
            isConnected = true;
            lastHeard = enet_time_get();
            KeepAnsweringPeers(event.peer);
            break;
        case ENET_EVENT_TYPE_RECEIVE:
            lastHeard = enet_time_get();
            takePacket(std::span<const uint8_t>(event.packet->data, event.packet->dataLength));
            enet_packet_destroy(event.packet);
            break;
        case ENET_EVENT_TYPE_DISCONNECT:
            if (event.data == kDisconnectServerFull)
                full = true;
            farewell = event.data;
            isConnected = false;
            lost = true;
            peer = nullptr;
            break;
        case ENET_EVENT_TYPE_NONE:
            break;
        }
    }

    // Queues one packet on the one channel, delivered reliably and in order.
    void sendPacket(std::span<const uint8_t> bytes)
    {
        if (web) {
            web->sendPacket(Bytes(bytes.begin(), bytes.end()));
            return;
        }
        ENetPacket* packet = enet_packet_create(bytes.data(), bytes.size(), ENET_PACKET_FLAG_RELIABLE);
        if (packet && enet_peer_send(peer, 0, packet) != 0)
            enet_packet_destroy(packet);
    }

    void flush()
    {
        if (!linkOpen() || (!web && !peer))
            return;
        outgoing.flush([&](Bytes&& packet) { sendPacket(packet); });
    }

    // A server that has sent nothing at all for as long as the server allows its
    // clients is gone; a lossy but answering one is kept.
    void dropIfSilent()
    {
        if (!peer || !isConnected)
            return;
        // ENet stamps its peer only when an acknowledgement arrives; events count too.
        enet_uint32 heard = lastHeard;
        if (peer->lastReceiveTime != 0 && ENET_TIME_GREATER(peer->lastReceiveTime, heard))
            heard = peer->lastReceiveTime;
        if (ENET_TIME_DIFFERENCE(enet_time_get(), heard) <= kSilentPeerTimeoutMs)
            return;
        enet_peer_reset(peer);
        peer = nullptr;
        isConnected = false;
        lost = true;
    }

    void destroy()
    {
        web.reset();
        if (host)
            enet_host_destroy(host);
        host = nullptr;
        peer = nullptr;
        isConnected = false;
    }
};

NetClient::NetClient() : impl_(std::make_unique<Impl>()) {}

NetClient::~NetClient()
{
    if (impl_->linkOpen())
        disconnect(200);
    impl_->destroy();
}

bool NetClient::connect(const std::string& host, uint16_t port, int timeoutMs, size_t channels, Role role)
{
    impl_->destroy();
    impl_->lost = impl_->full = false;
    impl_->farewell = 0;
    impl_->inbox.clear();
    impl_->received = 0;
    impl_->outgoing = PacketPacker(kPackingLimit, impl_->version);
    impl_->follower = {};
    if (!EnsureEnetInitialised())
        return false;
    // Version 3's states travel on a second channel.
    if (impl_->version == WireVersion::V3)
        channels = std::max<size_t>(channels, 2);
    impl_->host = enet_host_create(nullptr, 1, channels, 0, 0);
    if (!impl_->host)
        return false;
    ENetAddress address{};
    if (enet_address_set_host(&address, host.c_str()) != 0)
        return false;
    address.port = port;
    impl_->peer = enet_host_connect(impl_->host, &address, channels, ConnectData({role, impl_->version}));
    if (!impl_->peer)
        return false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!impl_->isConnected && !impl_->lost && std::chrono::steady_clock::now() < deadline)
        service(10);
    if (!impl_->isConnected && !impl_->lost && impl_->peer)
        enet_peer_reset(impl_->peer);
    return impl_->isConnected;
}

bool NetClient::connectWebSocket(const std::string& host, uint16_t port, int timeoutMs, Role role)
{
    impl_->destroy();
    impl_->lost = impl_->full = false;
    impl_->farewell = 0;
    impl_->inbox.clear();
    impl_->received = 0;
    impl_->outgoing = PacketPacker(kPackingLimit, impl_->version);
    impl_->follower = {};
    impl_->web = std::make_unique<WebSocketLink>();
    return impl_->web->connect(host, port, timeoutMs, WebSocketPath({role, impl_->version}));
}

void NetClient::disconnect(int timeoutMs)
{
    if (impl_->web) {
        impl_->flush();
        impl_->web->disconnect(timeoutMs);
        return;
    }
    if (!impl_->peer || !impl_->isConnected)
        return;
    impl_->flush();
    enet_peer_disconnect_later(impl_->peer, 0);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (impl_->isConnected && std::chrono::steady_clock::now() < deadline)
        service(10);
    if (impl_->peer)
        enet_peer_reset(impl_->peer);
    impl_->isConnected = false;
    impl_->peer = nullptr;
    impl_->lost = false;
}

void NetClient::useVersion(WireVersion version) { impl_->version = version; }
uint64_t NetClient::bytesReceived() const { return impl_->received; }

bool NetClient::connected() const { return impl_->linkOpen(); }
bool NetClient::lostConnection() const { return impl_->web ? impl_->web->lost() : impl_->lost; }
bool NetClient::refusedAsFull() const
{
    return impl_->web ? impl_->web->closeReason() == kWebSocketFullReason : impl_->full;
}

uint32_t NetClient::farewellCode() const { return impl_->web ? impl_->web->closeCode() : impl_->farewell; }
std::string NetClient::farewellReason() const { return impl_->web ? impl_->web->closeReason() : std::string(); }

void NetClient::send(const MessageWriter& message)
{
    if (message.overflowed() || !impl_->linkOpen())
        return;
    auto sendFull = [&](Bytes&& packet) { impl_->sendPacket(packet); };
    if (impl_->version == WireVersion::V1)
        impl_->outgoing.add(message.bytes(), sendFull);
    else
        impl_->outgoing.add(compact::Encode(message.bytes()), sendFull);
}

void NetClient::sendRawPacket(std::span<const uint8_t> bytes)
{
    if (!impl_->linkOpen() || (!impl_->web && !impl_->peer))
        return;
    impl_->flush();
    impl_->sendPacket(bytes);
    if (impl_->host)
        enet_host_flush(impl_->host);
}

void NetClient::service(int timeoutMs)
{
    if (impl_->web) {
        impl_->flush();
        impl_->web->service(timeoutMs, [&](std::span<const uint8_t> packet) { impl_->takePacket(packet); });
        return;
    }
    if (!impl_->host)
        return;
    impl_->flush();
    if (impl_->peer)
        CapResendDelays(impl_->peer);
    ENetEvent event;
    int result = enet_host_service(impl_->host, &event, static_cast<enet_uint32>(timeoutMs));
    while (result > 0) {
        impl_->handle(event);
        result = enet_host_service(impl_->host, &event, 0);
    }
    impl_->dropIfSilent();
}

bool NetClient::nextMessage()
{
    if (impl_->inbox.empty())
        return false;
    impl_->current = std::move(impl_->inbox.front());
    impl_->inbox.pop_front();
    impl_->reader = MessageReader(impl_->current);
    return true;
}

bool NetClient::waitForMessage(int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (impl_->inbox.empty() && (impl_->host || impl_->web) && std::chrono::steady_clock::now() < deadline)
        service(5);
    return nextMessage();
}

std::string NetClient::getString(size_t maxBytes) { return impl_->reader.getString(maxBytes); }
int32_t NetClient::getInt() { return impl_->reader.getInt(); }
float NetClient::getFloat() { return impl_->reader.getFloat(); }
uint8_t NetClient::getByte() { return impl_->reader.getByte(); }
DecodedMessage NetClient::current() const { return DecodeMessage(impl_->current); }
size_t NetClient::currentSize() const { return impl_->current.size(); }
bool NetClient::currentBroken() const { return impl_->reader.failed(); }

} // namespace skirmish

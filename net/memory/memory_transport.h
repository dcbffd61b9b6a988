#pragma once

#include <map>
#include <string>
#include <vector>

#include "protocol/codec.h"
#include "net/server/transport.h"
#include "protocol/version3.h"

namespace skirmish {

// The transport as tests see it: no sockets, no waiting. A test plays the clients
// (join, leave, send field by field) and reads every message the server sent.
class MemoryTransport final : public Transport {
public:
    // Client side, driven by the test.
    // The id given, 0 when refused. A client's messages travel in the version it asked for.
    int connect(const std::string& address = "127.0.0.1", Role role = Role::Player,
                WireVersion version = WireVersion::V1);
    void disconnect(int id);
    void send(int id, const MessageWriter& message);     // one message in a packet of its own
    void sendRaw(int id, std::span<const uint8_t> packet); // any bytes, as a packet
    // Every message the server sent to id since it connected, or since the last clear,
    // described as version 1 reads it whatever the version it travelled in: a version 3
    // client's is what its follower rebuilt, states and flights included.
    std::vector<std::string> received(int id) const;
    // The same as the bytes of every packet, end to end.
    Bytes bytesTo(int id) const;
    size_t packetsTo(int id) const;
    void clearReceived();
    // The next open fails with this text.
    void failNextOpen(std::string error) { openError_ = std::move(error); }
    int refusedCount() const { return refused_; }
    // What the server counts as the client's input taken in and not yet handled.
    size_t waitingInput(int id) const { return events_ ? events_->waitingInput(id) : 0; }
    // Off: packets are counted but not decoded or kept (for benchmarks).
    void setRecording(bool on) { recording_ = on; }
    // A version 3 client's states reach it at once and are acknowledged, unless held:
    // then they wait for the test, which may lose, repeat or reorder them.
    void holdStates(int id, bool hold);
    std::vector<Bytes> takeStates(int id);
    // Hands one state packet to the client, which acknowledges it when its follower says to.
    void deliverState(int id, std::span<const uint8_t> packet);
    size_t statesTo(int id) const;

    // Transport.
    bool open(uint16_t port, int maxConnections, TransportEvents& events, std::string& error) override;
    bool isOpen() const override { return open_; }
    void service(std::chrono::microseconds, bool) override {}
    void sendPacket(int id, Bytes&& packet) override;
    void sendUnreliable(int id, Bytes&& packet) override;
    void close() override;
    void endConnection(int id, const Farewell& farewell) override;
    uint16_t boundPort() const override { return port_; }

private:
    struct Client {
        WireVersion version = WireVersion::V1;
        std::vector<std::string> received;
        Bytes bytes;
        size_t packets = 0;
        v3::Follower follower;
        bool holdStates = false;
        std::vector<Bytes> heldStates;
        size_t states = 0;
    };
    void keep(Client& client, std::span<const uint8_t> v1);

    bool open_ = false;
    uint16_t port_ = 0;
    std::string openError_;
    TransportEvents* events_ = nullptr;
    std::map<int, Client> clients_;
    int refused_ = 0;
    bool recording_ = true;
};

} // namespace skirmish

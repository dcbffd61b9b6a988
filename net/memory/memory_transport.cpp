#include "net/memory/memory_transport.h"

#include "protocol/compact.h"

#include <utility>

namespace skirmish {

bool MemoryTransport::open(uint16_t port, int, TransportEvents& events, std::string& error)
{
    if (!openError_.empty()) {
        error = openError_;
        openError_.clear();
        return false;
    }
    open_ = true;
    port_ = port;
    events_ = &events;
    return true;
}

void MemoryTransport::close()
{
    open_ = false;
    events_ = nullptr;
}

int MemoryTransport::connect(const std::string& address, Role role, WireVersion version)
{
    if (!open_)
        return 0;
    int id = events_->onConnect(address, ConnectRequest{role, version});
    if (id <= 0) {
        ++refused_;
        return 0;
    }
    clients_[id] = Client{};
    clients_[id].version = version;
    return id;
}

void MemoryTransport::disconnect(int id)
{
    if (open_ && clients_.erase(id))
        events_->onDisconnect(id);
}

// The farewell would reach a client; the test's clients read none.
void MemoryTransport::endConnection(int id, const Farewell&)
{
    if (open_ && clients_.erase(id))
        events_->onDisconnect(id);
}

void MemoryTransport::send(int id, const MessageWriter& message)
{
    auto client = clients_.find(id);
    WireVersion version = client == clients_.end() ? WireVersion::V1 : client->second.version;
    Bytes packet;
    auto keep = [&](Bytes&& whole) { packet = std::move(whole); };
    PacketPacker packer(kPackingLimit, version);
    packer.add(version == WireVersion::V1 ? message.bytes() : compact::Encode(message.bytes()), keep);
    packer.flush(keep);
    sendRaw(id, packet);
}

void MemoryTransport::sendRaw(int id, std::span<const uint8_t> packet)
{
    if (open_ && clients_.count(id))
        events_->onPacket(id, packet);
}

void MemoryTransport::sendPacket(int id, Bytes&& packet)
{
    auto client = clients_.find(id);
    if (client == clients_.end())
        return;
    ++client->second.packets;
    if (!recording_)
        return;
    client->second.bytes.insert(client->second.bytes.end(), packet.begin(), packet.end());
    size_t pos = 0;
    while (auto message = NextMessage(packet, pos, client->second.version)) {
        if (client->second.version == WireVersion::V3) {
            std::vector<Bytes> rebuilt;
            client->second.follower.message(*message, rebuilt);
            for (const Bytes& v1 : rebuilt)
                keep(client->second, v1);
        } else {
            keep(client->second, client->second.version == WireVersion::V1 ? Bytes(message->begin(), message->end())
                                                                          : compact::Decode(*message));
        }
    }
}

void MemoryTransport::keep(Client& client, std::span<const uint8_t> v1)
{
    client.received.push_back(DecodeMessage(v1).describe());
}

void MemoryTransport::sendUnreliable(int id, Bytes&& packet)
{
    auto client = clients_.find(id);
    if (client == clients_.end())
        return;
    ++client->second.states;
    if (client->second.holdStates)
        client->second.heldStates.push_back(std::move(packet));
    else if (recording_)
        deliverState(id, packet);
}

void MemoryTransport::holdStates(int id, bool hold)
{
    if (auto client = clients_.find(id); client != clients_.end())
        client->second.holdStates = hold;
}

std::vector<Bytes> MemoryTransport::takeStates(int id)
{
    auto client = clients_.find(id);
    return client == clients_.end() ? std::vector<Bytes>{} : std::exchange(client->second.heldStates, {});
}

size_t MemoryTransport::statesTo(int id) const
{
    auto client = clients_.find(id);
    return client == clients_.end() ? 0 : client->second.states;
}

void MemoryTransport::deliverState(int id, std::span<const uint8_t> packet)
{
    auto client = clients_.find(id);
    if (client == clients_.end())
        return;
    size_t pos = 0;
    auto message = NextMessage(packet, pos, WireVersion::V3);
    auto state = message ? v3::ReadState(*message) : std::nullopt;
    if (!state)
        return;
    std::vector<Bytes> rebuilt;
    auto number = client->second.follower.state(*state, rebuilt);
    for (const Bytes& v1 : rebuilt)
        keep(client->second, v1);
    if (number) {
        Bytes ack = v3::StateAck(*number);
        Bytes framed;
        compact::PutVarint(framed, static_cast<uint32_t>(ack.size()));
        framed.insert(framed.end(), ack.begin(), ack.end());
        sendRaw(id, framed);
    }
}

std::vector<std::string> MemoryTransport::received(int id) const
{
    auto client = clients_.find(id);
    return client == clients_.end() ? std::vector<std::string>{} : client->second.received;
}

Bytes MemoryTransport::bytesTo(int id) const
{
    auto client = clients_.find(id);
    return client == clients_.end() ? Bytes{} : client->second.bytes;
}

size_t MemoryTransport::packetsTo(int id) const
{
    auto client = clients_.find(id);
    return client == clients_.end() ? 0 : client->second.packets;
}

void MemoryTransport::clearReceived()
{
    for (auto& [id, client] : clients_) {
        client.received.clear();
        client.bytes.clear();
        client.packets = 0;
    }
}

} // namespace skirmish

#include "net/memory/memory_transport.h"

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

int MemoryTransport::connect(const std::string& address, Role role)
{
    if (!open_)
        return 0;
    int id = events_->onConnect(address, role);
    if (id <= 0) {
        ++refused_;
        return 0;
    }
    clients_[id] = Client{};
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
    Bytes packet;
    packet.push_back(static_cast<uint8_t>(message.bytes().size()));
    packet.push_back(static_cast<uint8_t>(message.bytes().size() >> 8));
    packet.insert(packet.end(), message.bytes().begin(), message.bytes().end());
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
    ForEachMessage(packet, [&](std::span<const uint8_t> message) {
        client->second.received.push_back(DecodeMessage(message).describe());
    });
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

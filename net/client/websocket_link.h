#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "protocol/codec.h"

namespace skirmish {

// The client side of the server's WebSocket at /ws: one binary frame per packet,
// each way. Driven by service(); nothing runs between calls.
class WebSocketLink {
public:
    using PacketHandler = std::function<void(std::span<const uint8_t>)>;

    WebSocketLink();
    ~WebSocketLink();
    WebSocketLink(const WebSocketLink&) = delete;
    WebSocketLink& operator=(const WebSocketLink&) = delete;

    // Opens ws://host:port followed by path, waiting up to timeoutMs; false when it cannot.
    bool connect(const std::string& host, uint16_t port, int timeoutMs, const std::string& path);
    void sendPacket(Bytes&& packet);
    // Writes what is queued and hands each arrived packet to onPacket, waiting up to timeoutMs for some.
    void service(int timeoutMs, const PacketHandler& onPacket);
    // Sends a close frame and waits up to timeoutMs for the server's.
    void disconnect(int timeoutMs);
    bool open() const;
    // The server ended the connection (or it broke) since connect.
    bool lost() const;
    // The reason the server gave when it closed ("Server full", "Server quit").
    std::string closeReason() const;
    uint16_t closeCode() const; // 0 until the server closed

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace skirmish

#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "net/shared/limits.h"
#include "protocol/codec.h"

namespace skirmish {

// The client half of the network layer: one connection to a server, messages
// built with the protocol's writer and read field by field.
class NetClient {
public:
    NetClient();
    ~NetClient();
    NetClient(const NetClient&) = delete;
    NetClient& operator=(const NetClient&) = delete;

    // The wire layout the next connect asks for (version 1 unless told). The messages
    // read and sent through this class are the same in either.
    void useVersion(WireVersion version);

    // Connects and waits up to timeoutMs for the server's answer; false when it is
    // unreachable. A full server accepts and at once disconnects with data 1:
    // refusedAsFull() turns true when that arrives. A spectator is refused the same
    // way when the server's spectator places are taken.
    bool connect(const std::string& host, uint16_t port, int timeoutMs, size_t channels = 1,
                 Role role = Role::Player);
    // Connects to the server's WebSocket (ws://host:port/ws, or /watch for a
    // spectator) instead; the same messages travel, one binary frame per packet. A
    // full server closes it with the reason "Server full", and refusedAsFull() turns true.
    bool connectWebSocket(const std::string& host, uint16_t port, int timeoutMs, Role role = Role::Player);
    // Ends the connection gracefully, delivering what was sent before.
    void disconnect(int timeoutMs = 1000);
    bool connected() const;
    // The server ended the connection (or it timed out) since connect.
    bool lostConnection() const;
    // The server turned us away because every id was taken.
    bool refusedAsFull() const;
    // How the server ended the connection: its ENet disconnect data, or its WebSocket
    // close code (kDisconnectKicked or kWebSocketKicked when an operator kicked us).
    uint32_t farewellCode() const;
    // The reason in a WebSocket's close frame ("" over ENet, whose farewell is a number).
    std::string farewellReason() const;

    // Bytes of every packet received since connect, framing included: what the wire
    // carried for us, below the transport's own headers.
    uint64_t bytesReceived() const;

    // Queues a message; it leaves at the next service.
    void send(const MessageWriter& message);
    // Sends any bytes as one packet, at once: for tests of hostile input.
    void sendRawPacket(std::span<const uint8_t> bytes);

    // Sends what is queued and handles arrived traffic, waiting up to timeoutMs for some.
    void service(int timeoutMs);
    // Makes the next arrived message current; false when none is waiting.
    bool nextMessage();
    // Services until a message arrives or timeoutMs passes, then makes it current.
    bool waitForMessage(int timeoutMs);

    std::string getString(size_t maxBytes = kMaxMessageBytes);
    int32_t getInt();
    float getFloat();
    uint8_t getByte();
    // The current message decoded whole.
    DecodedMessage current() const;
    // Bytes of the current message, and whether a read of it ran past its end or met a broken field.
    size_t currentSize() const;
    bool currentBroken() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace skirmish

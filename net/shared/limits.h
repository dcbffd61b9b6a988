#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace skirmish {

// What the server and the client half must agree on, so that neither needs the
// other's headers.

// Limits against abuse; our largest message is well under 1 KB.
constexpr size_t kMaxIncomingPacketBytes = 64 * 1024;
// A browser's binary frame is one packet; ENet's cap on a packet holds for it too.
constexpr size_t kMaxWebFrameBytes = kMaxIncomingPacketBytes;
// A frame the server sends a spectator is at most this long (a single longer packet
// travels alone).
constexpr size_t kMaxSpectatorFrameBytes = 64 * 1024;
// Unacknowledged outgoing data one connection may hold back before it is dropped as gone.
constexpr size_t kMaxOutgoingBacklogBytes = 4 * 1024 * 1024;
// A connection that answers nothing for this long is dropped (the client half
// likewise gives up on a server silent this long).
constexpr uint32_t kSilentPeerTimeoutMs = 10000;

// ENet disconnect data sent to a connection that finds every id taken.
constexpr uint32_t kDisconnectServerFull = 1;
// The reason in the close frame of a WebSocket that finds every id taken.
inline constexpr const char* kWebSocketFullReason = "Server full";
// An operator ended the connection (ENet disconnect data; WebSocket close code, with
// the operator's reason).
constexpr uint32_t kDisconnectKicked = 2;
constexpr uint16_t kWebSocketKicked = 4001;
// The address is banned: refused on connect, or ended when the ban is made.
constexpr uint32_t kDisconnectBanned = 3;
constexpr uint16_t kWebSocketBanned = 4003;

// How the server ends one connection: the ENet disconnect data, or the WebSocket
// close code and reason.
struct Farewell {
    uint32_t enetData = 0;
    uint16_t webCode = 1000;
    std::string reason;
};

// What a connection asks to be: the data of an ENet connect request, or the path
// of a WebSocket. A spectator takes no seat and receives what every player is told.
enum class Role : uint32_t { Player = 0, Spectator = 1 };
inline constexpr const char* kPlayerWebSocketPath = "/ws";
inline constexpr const char* kSpectatorWebSocketPath = "/watch";

} // namespace skirmish

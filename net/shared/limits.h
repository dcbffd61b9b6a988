#pragma once

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/codec.h"

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
// Unacknowledged outgoing data one connection may hold back before it is dropped as
// stalled: about two seconds of the busiest game's traffic to one client. A crowd that
// vanishes at once thus costs at most this much each in queues and resends.
constexpr size_t kMaxOutgoingBacklogBytes = 1024 * 1024;
// A connection that was sent data and has answered nothing (not even an
// acknowledgement) for this long has stopped reading: it is sent nothing more and
// dropped as stalled. A live client answers within its round trip, and ENet's own
// pings keep an idle one answering every half second. On a slow link the transport
// waits longer, so that a live client behind heavy loss has enough resends to answer.
constexpr uint32_t kUnansweredPeerTimeoutMs = 5000;
// Each client's commands are handled at most so many a second sustained, and so many
// at once after a quiet spell, in two budgets: moves and turns, which a client may
// send every frame at up to 144 frames a second, and everything else (chat, names,
// shots, respawns), kept low enough that a client spending both budgets in full costs
// each other player under 40 KB/s. A command waits in its client's own queue, in
// order, until its budget allows it; one that would wait more than
// kMaxCommandDelayMs is dropped at arrival, and the client is told so.
constexpr int kMaxMovesPerSecond = 288;
constexpr int kMoveBurst = 144;
constexpr int kMaxCommandsPerSecond = 100;
constexpr int kCommandBurst = 60;
constexpr int kMaxCommandDelayMs = 1000;
// How often, at most, a client is told that commands of its were dropped.
constexpr int kDroppedCommandsNoticeMs = 1000;
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

// A client asked for a wire layout the server does not know (ENet disconnect data; over
// WebSocket the upgrade is answered 400 with kUnknownVersionReason).
constexpr uint32_t kDisconnectUnknownVersion = 4;
inline constexpr const char* kUnknownVersionReason = "Unknown protocol version";

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

struct ConnectRequest {
    Role role = Role::Player;
    WireVersion version = WireVersion::V1;
};

// ENet connect data: the role in its low byte, the wire version in its second. A
// second byte of 0 is version 1 as it was before versions existed (so data 1 watches
// and any other low byte plays); nothing for a version this server does not know,
// or for data with any bit above those two bytes set.
inline std::optional<ConnectRequest> ParseConnectData(uint32_t data)
{
    // The bits above are not yet given a meaning: a client setting them asks for
    // something this server cannot know.
    if (data >> 16)
        return std::nullopt;
    auto role = (data & 0xFF) == static_cast<uint32_t>(Role::Spectator) ? Role::Spectator : Role::Player;
    switch ((data >> 8) & 0xFF) {
    case 0:
    case 1:
        return ConnectRequest{role, WireVersion::V1};
    case 2:
        return ConnectRequest{role, WireVersion::V2};
    case 3:
        return ConnectRequest{role, WireVersion::V3};
    default:
        return std::nullopt;
    }
}

// What a client of ours sends: version 1 as it always was (0 or 1), version N as N << 8 | role.
inline uint32_t ConnectData(ConnectRequest request)
{
    uint32_t role = static_cast<uint32_t>(request.role);
    return request.version == WireVersion::V1 ? role : (static_cast<uint32_t>(request.version) << 8) | role;
}

// A WebSocket's query asks for a version with v=N (none: version 1); nothing for one
// this server does not know.
inline std::optional<WireVersion> VersionFromQuery(std::string_view query)
{
    std::optional<std::string_view> asked;
    for (size_t start = 0; start <= query.size();) {
        size_t end = std::min(query.find('&', start), query.size());
        std::string_view pair = query.substr(start, end - start);
        if (pair.starts_with("v="))
            asked = pair.substr(2); // the last one asked counts, as with flags
        start = end + 1;
    }
    if (!asked || *asked == "1")
        return WireVersion::V1;
    if (*asked == "2")
        return WireVersion::V2;
    if (*asked == "3")
        return WireVersion::V3;
    return std::nullopt;
}

// The path a client of ours opens: the role's, asking for its version when it is not 1.
inline std::string WebSocketPath(ConnectRequest request)
{
    std::string path = request.role == Role::Spectator ? kSpectatorWebSocketPath : kPlayerWebSocketPath;
    return request.version == WireVersion::V1 ? path : path + "?v=" + std::to_string(static_cast<int>(request.version));
}

} // namespace skirmish

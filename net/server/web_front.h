#pragma once

#include <utility>

#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "net/server/net.h"
#include "net/server/transport.h"

namespace skirmish {

// A request's headers (and a WebSocket handshake) must complete within this.
constexpr int kWebHeaderTimeoutSeconds = 3;
// A kept-alive connection waits this long for its next request, and while it waits
// it gives way to any new connection that needs its room.
constexpr int kWebKeepAliveIdleMs = 2000;
// A download (or a page that reads the disk) that takes nothing for this long is
// ended; one that keeps reading, however slowly, runs to its end.
constexpr int kWebDiskIdleSeconds = 30;
// Connections that are not players (yet): in their request, its response, their
// WebSocket handshake or kept alive. One address holds at most a few, so that no
// one address can keep the others out.
constexpr int kMaxWebConnections = 256;
constexpr int kMaxWebConnectionsPerAddress = 8;
// The page runs its own scripts and styles and talks to its own WebSocket, nothing else.
inline constexpr const char* kPageSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; manifest-src 'self'; "
    "base-uri 'none'; form-action 'self'; frame-ancestors 'none'";

// The web front: the pages over HTTP, players over WebSocket at /ws and spectators
// at /watch, on the io_context of the loop's one wait. Its connections take ids
// through the same events as ENet's, so both kinds share one pool.
class WebFront {
public:
    WebFront(boost::asio::io_context& io, TransportEvents& events, WebPages pages);
    ~WebFront();
    WebFront(const WebFront&) = delete;
    WebFront& operator=(const WebFront&) = delete;

    // Listens on TCP port (every address); on failure fills error.
    bool open(uint16_t port, std::string& error);
    bool owns(int id) const;
    // Queues one packet as one binary frame; a browser whose backlog passes the cap is dropped.
    void sendPacket(int id, Bytes&& packet);
    void sendShared(int id, const SharedPacket& packet);
    // Reports the leave now and closes with the farewell's code and reason once what
    // is queued is written.
    void endConnection(int id, const Farewell& farewell);
    std::optional<int> roundTripMs(int id) const;
    // A version 3 browser's text frames are signalling: each is handed here with the
    // address the browser reached us at, and what it returns (unless empty) goes back
    // as a text frame. Without it, a text frame closes the connection as before.
    using Signalling = std::function<std::string(int id, std::string_view text, const std::string& localAddress)>;
    void setSignalling(Signalling signalling);
    // Before each service: ends the connections dropped since the last one and lets
    // readers held back by a full inbox read again.
    void prepareService();
    // Stops listening and closes every WebSocket once what is queued for it is written.
    void beginClose();
    bool drained() const;
    // Ends whatever is left at once.
    void abort();

    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace skirmish

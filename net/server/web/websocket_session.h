#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net/server/web/state.h"

namespace skirmish::web {

// One browser's WebSocket, a player's or a spectator's: from the upgrade to its end,
// its frames in, its packets out as frames, and its close.
class WsSession : public std::enable_shared_from_this<WsSession> {
public:
    WsSession(beast::tcp_stream&& stream, std::shared_ptr<State> state, WebSlot slot, ConnectRequest request)
        : ws_(std::move(stream)), state_(std::move(state)), slot_(std::move(slot)), role_(request.role),
          version_(request.version)
    {
    }
    ~WsSession() { finish(); }

    void accept(http::request<http::empty_body>&& request);

    void send(SharedPacket packet);
    // Signalling's answer, a text frame in order with the packets.
    void sendText(std::string_view text);

    // Ends the connection now and reports the leave.
    void drop();

    void readNext();

    // The close frame follows what is queued.
    void beginClose(websocket::close_reason farewell = {websocket::close_code::going_away, "Server quit"});

    // An operator's end: reported as a leave now.
    void endWith(uint16_t code, std::string reason);

    // The kernel's smoothed round-trip time of the TCP connection.
    std::optional<int> roundTripMs();

private:
    // The slot is given back only once this is a player: a refused or failed upgrade
    // keeps it until its connection is gone, so refusals count toward the caps too.
    void onAccepted(beast::error_code ec);

    void onRead(beast::error_code ec);
    // A text frame: signalling on a version 3 link; false when the link must close.
    bool tookText();

    // A player's packet is one frame. A spectator that fell behind is written what
    // waits as one frame of packets end to end (still whole messages, as the packets'
    // own bytes: nothing is copied), so catching up costs one write, not one a packet.
    void writeNext();

    void onWritten(beast::error_code ec);

    void closeWith(const websocket::close_reason& reason);

    // The one place a player's end is reported, whatever ended it.
    void finish();

    websocket::stream<beast::tcp_stream> ws_;
    std::shared_ptr<State> state_;
    WebSlot slot_;
    http::request<http::empty_body> request_;
    beast::flat_buffer buffer_;
    struct Frame {
        SharedPacket bytes;
        bool text = false;
    };
    std::deque<Frame> queue_;
    std::vector<asio::const_buffer> buffers_; // of the packets at the queue's front being written
    size_t queuedBytes_ = 0;
    int id_ = 0;
    bool writing_ = false;
    bool closing_ = false;
    bool closeSent_ = false;
    bool dropped_ = false;
    websocket::close_reason farewell_;
    Role role_;
    WireVersion version_;
};


} // namespace skirmish::web

#include "net/server/web/websocket_session.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include "core/console.h"

namespace skirmish::web {
namespace {

// A close frame's reason is valid UTF-8 (a browser fails a connection closed with
// any other) of at most 123 bytes: bytes that are not are written as \xNN, and a
// longer reason is cut at a character's start.
std::string FitCloseReason(std::string reason)
{
    reason = EscapeForConsole(reason);
    constexpr size_t kMostBytes = 123;
    if (reason.size() > kMostBytes) {
        size_t end = kMostBytes;
        while (end > 0 && (static_cast<uint8_t>(reason[end]) & 0xC0) == 0x80)
            --end;
        reason.resize(end);
    }
    return reason;
}

} // namespace

void WsSession::accept(http::request<http::empty_body>&& request)
{
    // Until it is a player it holds a slot like any connection, and gives way like one.
    slot_.setCloser([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->slot_.forget();
            beast::get_lowest_layer(self->ws_).close();
        }
    });
    request_ = std::move(request);
    beast::get_lowest_layer(ws_).expires_never();
    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = kHeaderTimeout;
    timeouts.idle_timeout = kSilenceTimeout;
    timeouts.keep_alive_pings = true;
    ws_.set_option(timeouts);
    ws_.read_message_max(kMaxWebFrameBytes);
    ws_.binary(true);
    // A packet is one frame written straight from its buffer, however large.
    ws_.auto_fragment(false);
    ws_.set_option(websocket::stream_base::decorator([](websocket::response_type& response) {
        response.set(http::field::server, kServerName);
        response.set("Content-Security-Policy", kPageSecurityPolicy);
        response.set("X-Content-Type-Options", "nosniff");
    }));
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().set_option(tcp::no_delay(true), ignored);
    ws_.async_accept(request_, [self = shared_from_this()](beast::error_code ec) { self->onAccepted(ec); });
}

void WsSession::send(SharedPacket packet)
{
    if (closing_ || dropped_)
        return;
    const size_t cap = state_->events ? state_->events->backlogCap() : kMaxOutgoingBacklogBytes;
    if (queuedBytes_ + packet->size() > cap) {
        // It stopped reading: ended at the next service, not inside the sender's loop.
        dropped_ = true;
        if (state_->events)
            state_->events->onDrop(TransportEvents::DropCause::Stalled);
        state_->drops.push_back(shared_from_this());
        return;
    }
    queuedBytes_ += packet->size();
    queue_.push_back({std::move(packet), false});
    if (!writing_)
        writeNext();
}

void WsSession::sendText(std::string_view text)
{
    if (closing_ || dropped_)
        return;
    auto bytes = std::make_shared<const Bytes>(text.begin(), text.end());
    queuedBytes_ += bytes->size();
    queue_.push_back({std::move(bytes), true});
    if (!writing_)
        writeNext();
}

void WsSession::drop()
{
    finish();
    beast::get_lowest_layer(ws_).close();
}

void WsSession::readNext()
{
    if (!state_->events)
        return; // the front is gone
    if (state_->events->waitingInput(id_) >= kMaxWaitingInputBytes) {
        state_->heldBack.push_back(shared_from_this());
        return;
    }
    ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, size_t) { self->onRead(ec); });
}

void WsSession::beginClose(websocket::close_reason farewell)
{
    closing_ = true;
    farewell_ = std::move(farewell);
    if (!writing_)
        closeWith(farewell_);
}

void WsSession::endWith(uint16_t code, std::string reason)
{
    finish();
    beginClose(websocket::close_reason(static_cast<websocket::close_code>(code), FitCloseReason(std::move(reason))));
}

std::optional<int> WsSession::roundTripMs()
{
    tcp_info info{};
    socklen_t size = sizeof info;
    int fd = beast::get_lowest_layer(ws_).socket().native_handle();
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0)
        return std::nullopt;
    return static_cast<int>(info.tcpi_rtt / 1000);
}

void WsSession::onAccepted(beast::error_code ec)
{
    beast::error_code endpointError;
    tcp::endpoint peer = beast::get_lowest_layer(ws_).socket().remote_endpoint(endpointError);
    if (ec || endpointError || !state_->events)
        return;
    if (state_->closing) {
        closeWith(websocket::close_reason(websocket::close_code::going_away, "Server quit"));
        return;
    }
    id_ = state_->events->onConnect(peer.address().to_string(), ConnectRequest{role_, version_});
    if (id_ <= 0) {
        bool banned = std::exchange(id_, 0) == TransportEvents::kRefusedBanned;
        closeWith(banned ? websocket::close_reason(static_cast<websocket::close_code>(kWebSocketBanned), "Banned")
                         : websocket::close_reason(websocket::close_code::try_again_later, kWebSocketFullReason));
        return;
    }
    slot_.release();
    state_->players[id_] = this;
    readNext();
}

void WsSession::onRead(beast::error_code ec)
{
    if (ec) {
        if (id_ != 0 && state_->events && ec == websocket::error::message_too_big)
            state_->events->onDrop(TransportEvents::DropCause::Oversized);
        if (id_ != 0 && state_->events && ec == beast::error::timeout)
            state_->events->onDrop(TransportEvents::DropCause::Silent);
        finish();
        return;
    }
    if (!ws_.got_binary() && !tookText()) {
        finish();
        closeWith(websocket::close_reason(websocket::close_code::unknown_data, "Binary frames only"));
        return;
    }
    if (ws_.got_binary() && id_ != 0 && state_->events) {
        auto data = buffer_.cdata();
        state_->events->onPacket(id_, std::span(static_cast<const uint8_t*>(data.data()), data.size()));
    }
    buffer_.consume(buffer_.size());
    readNext();
}

bool WsSession::tookText()
{
    if (version_ != WireVersion::V3 || id_ == 0 || !state_->signalling)
        return false;
    auto data = buffer_.cdata();
    boost::system::error_code ec;
    tcp::endpoint local = beast::get_lowest_layer(ws_).socket().local_endpoint(ec);
    std::string answer = state_->signalling(
        id_, std::string_view(static_cast<const char*>(data.data()), data.size()), ec ? std::string() : local.address().to_string());
    if (!answer.empty())
        sendText(answer);
    return true;
}

void WsSession::writeNext()
{
    writing_ = true;
    buffers_.clear();
    size_t bytes = 0;
    const bool text = queue_.front().text;
    for (const Frame& frame : queue_) {
        const SharedPacket& packet = frame.bytes;
        if (!buffers_.empty() &&
            (role_ == Role::Player || text || frame.text || bytes + packet->size() > kMaxSpectatorFrameBytes))
            break;
        buffers_.emplace_back(packet->data(), packet->size());
        bytes += packet->size();
    }
    ws_.text(text);
    ws_.async_write(buffers_, [self = shared_from_this()](beast::error_code ec, size_t) { self->onWritten(ec); });
}

void WsSession::onWritten(beast::error_code ec)
{
    writing_ = false;
    for (size_t i = 0; i < buffers_.size(); ++i) {
        queuedBytes_ -= queue_.front().bytes->size();
        queue_.pop_front();
    }
    buffers_.clear();
    if (ec) {
        finish();
    } else if (!queue_.empty()) {
        writeNext();
    } else if (closing_) {
        closeWith(farewell_);
    }
}

void WsSession::closeWith(const websocket::close_reason& reason)
{
    if (closeSent_)
        return;
    closeSent_ = true;
    ws_.async_close(reason,
                    [self = shared_from_this()](beast::error_code) { self->finish(); });
}

void WsSession::finish()
{
    if (id_ == 0)
        return;
    int id = std::exchange(id_, 0);
    state_->players.erase(id);
    if (state_->events)
        state_->events->onDisconnect(id);
}
} // namespace skirmish::web

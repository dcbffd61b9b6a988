// The web front: its listener and what ties its pieces (web/) to the transport.
#include "net/server/web_front.h"

#include "net/server/web/http_session.h"
#include "net/server/web/websocket_session.h"

namespace skirmish {

using namespace web;

namespace {

void AcceptNext(const std::shared_ptr<State>& state)
{
    state->acceptor.async_accept([state](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || state->closing)
            return;
        if (ec) {
            // Out of descriptors, say: try again shortly rather than spin.
            state->acceptRetry.expires_after(kAcceptRetryDelay);
            state->acceptRetry.async_wait([state](beast::error_code waitError) {
                if (!waitError)
                    AcceptNext(state);
            });
            return;
        }
        beast::error_code endpointError;
        tcp::endpoint peer = socket.remote_endpoint(endpointError);
        // Refused: the socket closes as it goes out of scope, unread.
        if (auto slot = endpointError ? std::nullopt : state->slots.take(peer.address().to_string()))
            ServeHttp(std::move(socket), state, WebSlot(state->slots, *slot));
        else if (!endpointError && state->events)
            state->events->onWebRefused();
        AcceptNext(state);
    });
}

} // namespace

WebFront::WebFront(asio::io_context& io, TransportEvents& events, WebPages pages)
    : state_(std::make_shared<State>(io, events, std::move(pages)))
{
}

WebFront::~WebFront()
{
    // The disk thread ends first: nothing it runs outlives the front.
    state_->disk.reset();
    abort();
    state_->events = nullptr;
}

bool WebFront::open(uint16_t port, std::string& error)
{
    tcp::acceptor& acceptor = state_->acceptor;
    beast::error_code ec = Listen(acceptor, {asio::ip::address_v4::any(), port});
    if (ec) {
        error = "TCP port " + std::to_string(port) + ": " + ec.message();
        acceptor.close(ec);
        return false;
    }
    AcceptNext(state_);
    return true;
}

void WebFront::setSignalling(Signalling signalling) { state_->signalling = std::move(signalling); }

bool WebFront::owns(int id) const { return state_->players.count(id) != 0; }

void WebFront::sendPacket(int id, Bytes&& packet)
{
    auto player = state_->players.find(id);
    if (player != state_->players.end())
        player->second->send(std::make_shared<const Bytes>(std::move(packet)));
}

void WebFront::sendShared(int id, const SharedPacket& packet)
{
    auto connection = state_->players.find(id);
    if (connection != state_->players.end())
        connection->second->send(packet);
}

void WebFront::endConnection(int id, const Farewell& farewell)
{
    auto connection = state_->players.find(id);
    if (connection != state_->players.end())
        connection->second->endWith(farewell.webCode, farewell.reason);
}

std::optional<int> WebFront::roundTripMs(int id) const
{
    auto connection = state_->players.find(id);
    return connection != state_->players.end() ? connection->second->roundTripMs() : std::nullopt;
}

void WebFront::prepareService()
{
    for (auto& session : std::exchange(state_->drops, {}))
        session->drop();
    if (state_->events)
        for (auto& session : std::exchange(state_->heldBack, {}))
            session->readNext();
}

void WebFront::beginClose()
{
    state_->closing = true;
    beast::error_code ignored;
    state_->acceptor.close(ignored);
    state_->acceptRetry.cancel();
    state_->heldBack.clear();
    std::vector<web::WsSession*> open;
    for (auto& [id, session] : state_->players)
        open.push_back(session);
    for (web::WsSession* session : open)
        session->beginClose();
}

bool WebFront::drained() const { return state_->players.empty(); }

void WebFront::abort()
{
    beginClose();
    std::vector<std::shared_ptr<web::WsSession>> open;
    for (auto& [id, session] : state_->players)
        open.push_back(session->shared_from_this());
    for (auto& session : open)
        session->drop();
    state_->drops.clear();
}

} // namespace skirmish

#include "net/client/websocket_link.h"

// Boost 1.74's asio uses std::exchange without including it.
#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <chrono>
#include <deque>
#include <optional>

namespace skirmish {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Milliseconds = std::chrono::milliseconds;

struct WebSocketLink::Impl {
    asio::io_context io{1};
    std::optional<websocket::stream<beast::tcp_stream>> ws;
    beast::flat_buffer buffer;
    std::deque<Bytes> queue;
    std::deque<Bytes> arrived;
    bool writing = false;
    bool reading = false;
    bool isOpen = false;
    bool isLost = false;
    std::string reason;
    uint16_t code = 0;

    void readNext()
    {
        reading = true;
        ws->async_read(buffer, [this](beast::error_code ec, size_t) {
            reading = false;
            if (ec) {
                end();
                return;
            }
            auto data = buffer.cdata();
            auto bytes = static_cast<const uint8_t*>(data.data());
            arrived.emplace_back(bytes, bytes + data.size());
            buffer.consume(buffer.size());
            readNext();
        });
    }

    void writeNext()
    {
        if (writing || queue.empty() || !isOpen)
            return;
        writing = true;
        ws->async_write(asio::buffer(queue.front()), [this](beast::error_code ec, size_t) {
            writing = false;
            queue.pop_front();
            if (ec)
                end();
            else
                writeNext();
        });
    }

    void end()
    {
        if (isOpen)
            isLost = true;
        isOpen = false;
        if (ws) {
            reason = std::string(ws->reason().reason.c_str());
            code = static_cast<uint16_t>(ws->reason().code);
        }
    }
};

WebSocketLink::WebSocketLink() : impl_(std::make_unique<Impl>()) {}

WebSocketLink::~WebSocketLink()
{
    if (impl_->ws) {
        beast::error_code ignored;
        beast::get_lowest_layer(*impl_->ws).socket().close(ignored);
        impl_->io.poll();
    }
}

bool WebSocketLink::connect(const std::string& host, uint16_t port, int timeoutMs, const std::string& path)
{
    Impl& s = *impl_;
    s.ws.emplace(s.io);
    s.isOpen = s.isLost = false;
    s.reason.clear();
    s.code = 0;
    beast::error_code ec;
    auto address = asio::ip::make_address(host, ec);
    if (ec)
        return false;
    bool done = false;
    auto& lowest = beast::get_lowest_layer(*s.ws);
    lowest.expires_after(Milliseconds(timeoutMs));
    lowest.async_connect(tcp::endpoint(address, port), [&](beast::error_code connectError) {
        if (connectError) {
            done = true;
            return;
        }
        lowest.socket().set_option(tcp::no_delay(true), connectError);
        s.ws->async_handshake(host + ":" + std::to_string(port), path, [&](beast::error_code handshakeError) {
            done = true;
            s.isOpen = !handshakeError;
        });
    });
    while (!done && !s.io.stopped())
        s.io.run_one();
    s.io.restart();
    if (!s.isOpen)
        return false;
    lowest.expires_never();
    s.ws->binary(true);
    s.readNext();
    return true;
}

void WebSocketLink::sendPacket(Bytes&& packet)
{
    if (!impl_->isOpen)
        return;
    impl_->queue.push_back(std::move(packet));
    impl_->writeNext();
}

void WebSocketLink::service(int timeoutMs, const PacketHandler& onPacket)
{
    Impl& s = *impl_;
    if (!s.ws)
        return;
    s.writeNext();
    if (s.arrived.empty() && timeoutMs > 0 && s.reading)
        s.io.run_one_for(Milliseconds(timeoutMs));
    s.io.poll();
    s.io.restart();
    while (!s.arrived.empty()) {
        Bytes packet = std::move(s.arrived.front());
        s.arrived.pop_front();
        onPacket(packet);
    }
}

void WebSocketLink::disconnect(int timeoutMs)
{
    Impl& s = *impl_;
    if (!s.isOpen)
        return;
    auto deadline = std::chrono::steady_clock::now() + Milliseconds(timeoutMs);
    while (!s.queue.empty() && s.isOpen && std::chrono::steady_clock::now() < deadline)
        s.io.run_one_for(Milliseconds(10));
    s.isOpen = false;
    bool closed = false;
    s.ws->async_close(websocket::close_code::normal, [&](beast::error_code) { closed = true; });
    while (!closed && std::chrono::steady_clock::now() < deadline)
        s.io.run_one_for(Milliseconds(10));
    beast::error_code ignored;
    beast::get_lowest_layer(*s.ws).socket().close(ignored);
    s.io.poll();
    s.io.restart();
    s.isLost = false;
}

bool WebSocketLink::open() const { return impl_->isOpen; }
bool WebSocketLink::lost() const { return impl_->isLost; }
std::string WebSocketLink::closeReason() const { return impl_->reason; }
uint16_t WebSocketLink::closeCode() const { return impl_->code; }

} // namespace skirmish

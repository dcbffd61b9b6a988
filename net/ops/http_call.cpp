#include "net/ops/http_call.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <functional>

namespace skirmish {
namespace {

// What one answer may hold in memory, whatever the peer announces or sends: a header
// the size of a sidecar's with room to spare, a body up to the limit, and the read
// buffer for the header and one read. Past either limit the answer is none.
constexpr uint32_t kMostHeaderBytes = 8 * 1024;
constexpr uint64_t kMostBodyBytes = 64 * 1024;
constexpr size_t kMostBufferedBytes = 2 * kMostHeaderBytes;

} // namespace

HttpAnswer CallHttp(const std::string& address, uint16_t port, const HttpCall& call,
                    std::chrono::milliseconds timeout)
{
    namespace asio = boost::asio;
    namespace beast = boost::beast;
    namespace http = beast::http;
    using boost::system::error_code;
    HttpAnswer answer;
    error_code ec;
    const asio::ip::address ip = asio::ip::make_address(address, ec);
    const http::verb verb = http::string_to_verb(call.method);
    if (ec || verb == http::verb::unknown)
        return answer;
    http::request<http::string_body> request{verb, call.target, 11};
    request.set(http::field::host, address);
    request.set(http::field::connection, "close");
    if (!call.body.empty())
        request.set(http::field::content_type, "application/json");
    request.body() = call.body;
    request.prepare_payload();

    asio::io_context io;
    asio::ip::tcp::socket socket(io);
    beast::flat_buffer buffer(kMostBufferedBytes);
    http::response_parser<http::string_body> parser;
    parser.header_limit(kMostHeaderBytes);
    parser.body_limit(kMostBodyBytes);
    // Read a piece at a time, stopping at the first error: http::async_read carried on
    // into the body after the body limit refused it, and a body that came with the
    // header then grew without bound.
    std::function<void(error_code, size_t)> read = [&](error_code failed, size_t) {
        if (failed)
            return;
        if (!parser.is_done())
            return http::async_read_some(socket, buffer, parser, read);
        answer.status = static_cast<int>(parser.get().result_int());
        answer.body = parser.get().body();
    };
    socket.async_connect(asio::ip::tcp::endpoint(ip, port), [&](error_code connected) {
        if (!connected)
            http::async_write(socket, request, read);
    });
    // One deadline for the whole exchange, kept by the loop itself: whatever the peer
    // sends, and however fast, nothing runs past it. What is left unfinished is dropped
    // with the socket.
    io.run_for(timeout);
    return answer;
}

} // namespace skirmish

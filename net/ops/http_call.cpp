#include "net/ops/http_call.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace skirmish {

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
    beast::tcp_stream stream(io);
    beast::flat_buffer buffer;
    http::response_parser<http::string_body> parser;
    parser.body_limit(64 * 1024);
    // One deadline for the whole exchange: connect, write and read share the stream's timer.
    stream.expires_after(timeout);
    stream.async_connect(asio::ip::tcp::endpoint(ip, port), [&](error_code connected) {
        if (connected)
            return;
        http::async_write(stream, request, [&](error_code written, size_t) {
            if (written)
                return;
            http::async_read(stream, buffer, parser, [&](error_code read, size_t) {
                if (read)
                    return;
                answer.status = static_cast<int>(parser.get().result_int());
                answer.body = parser.get().body();
            });
        });
    });
    io.run();
    return answer;
}

} // namespace skirmish

#pragma once

// What the web front's pieces share: Boost's names, the limits of a request, the headers of every answer.
// Boost 1.74's asio uses std::exchange without including it.
#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "net/server/web_front.h"
#include "net/shared/limits.h"

namespace skirmish::web {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using State = WebFront::State;

inline constexpr auto kHeaderTimeout = std::chrono::seconds(kWebHeaderTimeoutSeconds);
inline constexpr auto kKeepAliveIdle = std::chrono::milliseconds(kWebKeepAliveIdleMs);
// A browser that answers nothing, not even the pings sent at half this, is gone.
inline constexpr auto kSilenceTimeout = std::chrono::milliseconds(kSilentPeerTimeoutMs);
inline constexpr uint32_t kMaxRequestHeaderBytes = 8 * 1024;
inline constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);
inline constexpr const char* kServerName = "skirmish";
// Bytes asked for by the read that waits for a kept-alive connection's next request.
inline constexpr size_t kFirstReadBytes = 1024;

// The path of a request target, without its query.
inline std::string_view PathOf(std::string_view target) { return target.substr(0, target.find('?')); }


// Opens, binds (the address reusable at once after a restart) and listens; the first error, if any.
inline beast::error_code Listen(tcp::acceptor& acceptor, const tcp::endpoint& endpoint)
{
    beast::error_code ec;
    acceptor.open(endpoint.protocol(), ec);
    if (!ec)
        acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec)
        acceptor.bind(endpoint, ec);
    if (!ec)
        acceptor.listen(asio::socket_base::max_listen_connections, ec);
    return ec;
}

template <class Response>
void SetCommonHeaders(Response& response, std::string_view type)
{
    response.set(http::field::content_type, beast::string_view(type.data(), type.size()));
    response.set(http::field::cache_control, "no-store");
    response.set("X-Content-Type-Options", "nosniff");
    response.set("Content-Security-Policy", kPageSecurityPolicy);
    response.set(http::field::server, kServerName);
}


} // namespace skirmish::web

#include "net/server/web/http_session.h"

#include <unistd.h>

#include <optional>
#include <string>

#include "net/server/web/websocket_session.h"

namespace skirmish::web {
namespace {

// One HTTP connection: GET of a page, or the upgrade of /ws to a WebSocket.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(tcp::socket&& socket, std::shared_ptr<State> state, WebSlot slot)
        : stream_(std::move(socket)), state_(std::move(state)), slot_(std::move(slot))
    {
    }

    // A request must come whole within the header time.
    void readRequest()
    {
        slot_.setCloser([weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->slot_.forget();
                self->stream_.close();
            }
        });
        parser_.emplace();
        parser_->header_limit(kMaxRequestHeaderBytes);
        stream_.expires_after(kHeaderTimeout);
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code ec, size_t) { self->onRequest(ec); });
    }

    // A kept-alive connection waits the idle time for the first byte of its next
    // request and, until that byte comes, gives way to any new connection that needs
    // its room; from that byte on, its request is in flight like any other.
    void awaitNextRequest()
    {
        if (buffer_.size() > 0) // already here, sent along with the last one
            return readRequest();
        slot_.setIdle(true);
        stream_.expires_after(kKeepAliveIdle);
        stream_.async_read_some(buffer_.prepare(kFirstReadBytes),
                                [self = shared_from_this()](beast::error_code ec, size_t bytes) {
                                    self->slot_.setIdle(false);
                                    self->buffer_.commit(bytes);
                                    if (!ec)
                                        self->readRequest();
                                });
    }

private:
    void onRequest(beast::error_code ec)
    {
        // A request too big or too broken to read is told why before the connection
        // closes; one that timed out or went away is not answered.
        if (ec == http::error::header_limit)
            return refuse(http::status::request_header_fields_too_large, "Request header too large\n");
        if (ec && ec.category() == http::make_error_code(http::error::bad_target).category() &&
            ec != http::error::end_of_stream && ec != http::error::partial_message)
            return refuse(http::status::bad_request, "Bad request\n");
        if (ec)
            return;
        http::request<http::empty_body> request = parser_->release();
        std::string_view target(request.target().data(), request.target().size());
        std::string_view path = PathOf(target);
        if (websocket::is_upgrade(request) && request.method() == http::verb::get &&
            (path == kPlayerWebSocketPath || path == kSpectatorWebSocketPath)) {
            Role role = path == kSpectatorWebSocketPath ? Role::Spectator : Role::Player;
            auto version = VersionFromQuery(target.substr(path.size() + (path.size() < target.size() ? 1 : 0)));
            if (!version) {
                respond(request, http::status::bad_request, "text/plain", std::string(kUnknownVersionReason) + "\n");
                return;
            }
            std::make_shared<WsSession>(std::move(stream_), state_, std::move(slot_), ConnectRequest{role, *version})
                ->accept(std::move(request));
            return;
        }
        auto page = state_->pages.find(path);
        std::string name;
        if (page == state_->pages.end()) {
            // A file of a folder: the folder's own function decides, on the disk
            // thread, what the name is.
            std::string_view folder = path.substr(0, path.rfind('/') + 1);
            page = state_->pages.find(folder);
            if (page == state_->pages.end() || !page->second.file)
                page = state_->pages.end();
            else
                name = path.substr(folder.size());
        }
        bool readable = request.method() == http::verb::get || request.method() == http::verb::head;
        // Once closing, the pages' sources (the level, the loop) may be gone.
        if (state_->closing)
            respond(request, http::status::service_unavailable, "text/plain", "Shutting down\n");
        else if (page == state_->pages.end())
            respond(request, http::status::not_found, "text/plain", "Not found\n");
        else if (!readable)
            respond(request, http::status::method_not_allowed, "text/plain", "Only GET and HEAD\n");
        else if (page->second.file || page->second.onDiskThread)
            handToDisk(std::move(request), page->second, std::move(name));
        else
            respond(request, http::status::ok, page->second.contentType, page->second.body(), page->second.maxAgeSeconds);
    }

    // The connection goes to the disk thread, which answers and closes it; this
    // session (and its slot) stays until then, and is let go on the loop's thread.
    void handToDisk(http::request<http::empty_body>&& request, const WebPage& page, std::string name)
    {
        beast::error_code ec;
        auto protocol = stream_.socket().local_endpoint(ec).protocol();
        int fd = ec ? -1 : stream_.socket().release(ec);
        if (fd < 0 || ec)
            return;
        const uint64_t id = ++state_->lastOnDisk;
        state_->onDisk.emplace(id, shared_from_this());
        asio::io_context& disk = state_->disk->io();
        auto done = [weak = std::weak_ptr<State>(state_), &io = state_->io, id] {
            asio::post(io, [weak, id] {
                if (auto state = weak.lock())
                    state->onDisk.erase(id);
            });
        };
        asio::post(disk, [&disk, protocol, fd, page, name = std::move(name), request = std::move(request),
                          done = std::move(done)]() mutable {
            beast::error_code assignError;
            tcp::socket socket(disk);
            socket.assign(protocol, fd, assignError);
            if (assignError) {
                ::close(fd);
                return done();
            }
            AnswerOnDisk(disk, std::move(socket), std::move(page), std::move(name), std::move(request), std::move(done));
        });
    }

    void afterWrite(beast::error_code ec, bool keepAlive)
    {
        if (!ec && keepAlive)
            return awaitNextRequest();
        stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
        if (!ec && refused_)
            discardRest();
    }

    // An answer to a request that could not be read: HTTP/1.1, and the connection closes after it.
    void refuse(http::status status, std::string body)
    {
        refused_ = true;
        http::request<http::empty_body> unread;
        unread.keep_alive(false);
        respond(unread, status, "text/plain", std::move(body));
    }

    // What the client still sends of a refused request is read and dropped until it
    // closes (or the header time passes): closing with unread input would reset the
    // connection, and the client could lose the answer.
    void discardRest()
    {
        if (!std::exchange(draining_, true))
            stream_.expires_after(kHeaderTimeout);
        buffer_.clear();
        stream_.async_read_some(buffer_.prepare(kFirstReadBytes), [self = shared_from_this()](beast::error_code ec, size_t) {
            if (!ec)
                self->discardRest();
        });
    }

    void respond(const http::request<http::empty_body>& request, http::status status, std::string_view type,
                 std::string body, int maxAgeSeconds = 0)
    {
        response_ = {status, request.version()};
        if (status == http::status::method_not_allowed)
            response_.set(http::field::allow, "GET, HEAD");
        send(request, type, std::move(body), maxAgeSeconds);
    }

    // Sends response_, its status (and any header of its own) set, with the common headers and body.
    void send(const http::request<http::empty_body>& request, std::string_view type, std::string body,
              int maxAgeSeconds = 0)
    {
        SetCommonHeaders(response_, type);
        if (maxAgeSeconds > 0) {
            response_.set(http::field::cache_control, "public, max-age=" + std::to_string(maxAgeSeconds));
            response_.set(http::field::access_control_allow_origin, "*");
        }
        response_.keep_alive(request.keep_alive() && response_.result() == http::status::ok);
        response_.body() = std::move(body);
        response_.prepare_payload();
        // HEAD: the same header, the length of the body it would have had, no body.
        if (request.method() == http::verb::head)
            response_.body().clear();
        http::async_write(stream_, response_, [self = shared_from_this()](beast::error_code ec, size_t) {
            self->afterWrite(ec, self->response_.keep_alive());
        });
    }

    beast::tcp_stream stream_;
    std::shared_ptr<State> state_;
    WebSlot slot_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::empty_body>> parser_;
    http::response<http::string_body> response_;
    bool refused_ = false;  // answered without reading the request whole
    bool draining_ = false; // reading what is left of it, to drop
};

} // namespace

void ServeHttp(tcp::socket&& socket, const std::shared_ptr<State>& state, WebSlot slot)
{
    std::make_shared<HttpSession>(std::move(socket), state, std::move(slot))->readRequest();
}

} // namespace skirmish::web

#include "net/server/web_front.h"

// Boost 1.74's asio uses std::exchange without including it.
#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <functional>
#include <list>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/console.h"
#include "net/shared/limits.h"

namespace skirmish {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

constexpr auto kHeaderTimeout = std::chrono::seconds(kWebHeaderTimeoutSeconds);
constexpr auto kKeepAliveIdle = std::chrono::milliseconds(kWebKeepAliveIdleMs);
// A browser that answers nothing, not even the pings sent at half this, is gone.
constexpr auto kSilenceTimeout = std::chrono::milliseconds(kSilentPeerTimeoutMs);
constexpr uint32_t kMaxRequestHeaderBytes = 8 * 1024;
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);
constexpr const char* kServerName = "skirmish";
// Bytes asked for by the read that waits for a kept-alive connection's next request.
constexpr size_t kFirstReadBytes = 1024;

class WsSession;

// The network an address belongs to, as one party is likely to hold it: an IPv4
// address's /24, an IPv6 address's /64 (an IPv4 address mapped into IPv6 is IPv4).
std::string SubnetOf(const std::string& address)
{
    beast::error_code ec;
    asio::ip::address parsed = asio::ip::make_address(address, ec);
    if (ec)
        return address;
    if (parsed.is_v6() && parsed.to_v6().is_v4_mapped())
        parsed = asio::ip::make_address_v4(asio::ip::v4_mapped, parsed.to_v6());
    if (parsed.is_v4()) {
        auto bytes = parsed.to_v4().to_bytes();
        bytes[3] = 0;
        return asio::ip::address_v4(bytes).to_string() + "/24";
    }
    auto bytes = parsed.to_v6().to_bytes();
    std::fill(bytes.begin() + 8, bytes.end(), 0);
    return asio::ip::address_v6(bytes).to_string() + "/64";
}

// The connections that are not players, oldest first. Room for a new one is made
// by closing the oldest kept-alive connection that waits idle (of the same address
// when that address is at its cap); with none idle, by closing the oldest of the
// subnet holding the most, when that holds more than the newcomer's; else the new
// one is refused. So many addresses of one network cannot shut out another.
class WebSlots {
public:
    struct Entry {
        std::string address;
        std::string subnet;
        bool idle = false;
        std::function<void()> close; // ends the connection and gives its slot back
    };
    using Handle = std::list<Entry>::iterator;

    std::optional<Handle> take(const std::string& address)
    {
        if (perAddress_[address] >= kMaxWebConnectionsPerAddress &&
            !closeOldest([&](const Entry& entry) { return entry.idle && entry.address == address; }))
            return refuse(address);
        std::string subnet = SubnetOf(address);
        if (entries_.size() >= static_cast<size_t>(kMaxWebConnections) &&
            !closeOldest([](const Entry& entry) { return entry.idle; }) && !makeRoomFor(subnet))
            return refuse(address);
        ++perAddress_[address];
        ++perSubnet_[subnet];
        return entries_.insert(entries_.end(), Entry{address, std::move(subnet), false, {}});
    }

    void release(Handle handle)
    {
        if (--perAddress_[handle->address] == 0)
            perAddress_.erase(handle->address);
        if (--perSubnet_[handle->subnet] == 0)
            perSubnet_.erase(handle->subnet);
        entries_.erase(handle);
    }

private:
    std::nullopt_t refuse(const std::string& address)
    {
        if (perAddress_[address] == 0)
            perAddress_.erase(address);
        return std::nullopt;
    }

    // The subnet holding the most gives way to one that holds fewer.
    bool makeRoomFor(const std::string& subnet)
    {
        auto most = std::max_element(perSubnet_.begin(), perSubnet_.end(),
                                     [](const auto& a, const auto& b) { return a.second < b.second; });
        auto held = perSubnet_.find(subnet);
        if (most == perSubnet_.end() || most->second <= (held == perSubnet_.end() ? 0 : held->second))
            return false;
        const std::string crowded = most->first; // a copy: the count may go with the last one
        return closeOldest([&](const Entry& entry) { return entry.subnet == crowded; });
    }

    bool closeOldest(const std::function<bool(const Entry&)>& eligible)
    {
        for (auto entry = entries_.begin(); entry != entries_.end(); ++entry) {
            if (!entry->close || !eligible(*entry))
                continue;
            auto close = std::move(entry->close);
            release(entry);
            close();
            return true;
        }
        return false;
    }

    std::list<Entry> entries_;
    std::unordered_map<std::string, int> perAddress_;
    std::unordered_map<std::string, int> perSubnet_;
};

// Files, and pages that read the disk, are answered on this thread of the front's
// own: a slow disk or a crowd of downloads costs the loop's thread nothing.
class DiskThread {
public:
    // It runs at a lower priority than the loop: when both want the processor (a
    // crowd downloading over loopback costs the kernel's copies), players come first.
    DiskThread()
        : work_(asio::make_work_guard(io_)), thread_([this] {
              setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kDiskThreadNice);
              io_.run();
          })
    {
    }
    ~DiskThread()
    {
        work_.reset();
        io_.stop();
        thread_.join();
    }
    asio::io_context& io() { return io_; }

private:
    static constexpr int kDiskThreadNice = 10;
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::thread thread_;
};

} // namespace

struct WebFront::State {
    asio::io_context& io;
    TransportEvents* events; // null once the front is gone: late endings report nothing
    WebPages pages;
    tcp::acceptor acceptor;
    asio::steady_timer acceptRetry;
    std::unordered_map<int, WsSession*> players; // and spectators: every connection with an id
    std::vector<std::shared_ptr<WsSession>> heldBack; // readers waiting for room in the inbox
    std::vector<std::shared_ptr<WsSession>> drops;    // stalled, ended at the next service
    WebSlots slots;
    bool closing = false;
    // Sessions whose connection the disk thread answers, kept (with their slots) until it is done.
    std::unordered_map<uint64_t, std::shared_ptr<void>> onDisk;
    uint64_t lastOnDisk = 0;
    std::unique_ptr<DiskThread> disk = std::make_unique<DiskThread>();

    State(asio::io_context& context, TransportEvents& transportEvents, WebPages webPages)
        : io(context), events(&transportEvents), pages(std::move(webPages)), acceptor(context), acceptRetry(context)
    {
    }
};

namespace {

using State = WebFront::State;

// A connection's place among those that are not players, held until released.
class WebSlot {
public:
    WebSlot(State& state, WebSlots::Handle handle) : state_(&state), handle_(handle) {}
    WebSlot(WebSlot&& other) noexcept : state_(std::exchange(other.state_, nullptr)), handle_(other.handle_) {}
    WebSlot& operator=(WebSlot&&) = delete;
    ~WebSlot() { release(); }
    // How the holder's connection is ended when its room is needed; it gives the slot
    // back first, so the holder must forget() it.
    void setCloser(std::function<void()> close)
    {
        if (state_)
            handle_->close = std::move(close);
    }
    // Idle: waiting for the next request, and the first to give way when room is needed.
    void setIdle(bool idle)
    {
        if (state_)
            handle_->idle = idle;
    }
    void release()
    {
        if (state_)
            state_->slots.release(handle_);
        state_ = nullptr;
    }
    // Closing an idle connection to make room has released its slot already.
    void forget() { state_ = nullptr; }

private:
    State* state_;
    WebSlots::Handle handle_;
};

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

class WsSession : public std::enable_shared_from_this<WsSession> {
public:
    WsSession(beast::tcp_stream&& stream, std::shared_ptr<State> state, WebSlot slot, ConnectRequest request)
        : ws_(std::move(stream)), state_(std::move(state)), slot_(std::move(slot)), role_(request.role),
          version_(request.version)
    {
    }
    ~WsSession() { finish(); }

    void accept(http::request<http::empty_body>&& request)
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

    void send(SharedPacket packet)
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
        queue_.push_back(std::move(packet));
        if (!writing_)
            writeNext();
    }

    // Ends the connection now and reports the leave.
    void drop()
    {
        finish();
        beast::get_lowest_layer(ws_).close();
    }

    void readNext()
    {
        if (!state_->events)
            return; // the front is gone
        if (state_->events->waitingInput(id_) >= kMaxWaitingInputBytes) {
            state_->heldBack.push_back(shared_from_this());
            return;
        }
        ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, size_t) { self->onRead(ec); });
    }

    // The close frame follows what is queued.
    void beginClose(websocket::close_reason farewell = {websocket::close_code::going_away, "Server quit"})
    {
        closing_ = true;
        farewell_ = std::move(farewell);
        if (!writing_)
            closeWith(farewell_);
    }

    // An operator's end: reported as a leave now.
    void endWith(uint16_t code, std::string reason)
    {
        finish();
        beginClose(websocket::close_reason(static_cast<websocket::close_code>(code), FitCloseReason(std::move(reason))));
    }

    // The kernel's smoothed round-trip time of the TCP connection.
    std::optional<int> roundTripMs()
    {
        tcp_info info{};
        socklen_t size = sizeof info;
        int fd = beast::get_lowest_layer(ws_).socket().native_handle();
        if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0)
            return std::nullopt;
        return static_cast<int>(info.tcpi_rtt / 1000);
    }

private:
    // The slot is given back only once this is a player: a refused or failed upgrade
    // keeps it until its connection is gone, so refusals count toward the caps too.
    void onAccepted(beast::error_code ec)
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

    void onRead(beast::error_code ec)
    {
        if (ec) {
            if (id_ != 0 && state_->events && ec == websocket::error::message_too_big)
                state_->events->onDrop(TransportEvents::DropCause::Oversized);
            if (id_ != 0 && state_->events && ec == beast::error::timeout)
                state_->events->onDrop(TransportEvents::DropCause::Silent);
            finish();
            return;
        }
        if (!ws_.got_binary()) {
            finish();
            closeWith(websocket::close_reason(websocket::close_code::unknown_data, "Binary frames only"));
            return;
        }
        if (id_ != 0 && state_->events) {
            auto data = buffer_.cdata();
            state_->events->onPacket(id_, std::span(static_cast<const uint8_t*>(data.data()), data.size()));
        }
        buffer_.consume(buffer_.size());
        readNext();
    }

    // A player's packet is one frame. A spectator that fell behind is written what
    // waits as one frame of packets end to end (still whole messages, as the packets'
    // own bytes: nothing is copied), so catching up costs one write, not one a packet.
    void writeNext()
    {
        writing_ = true;
        buffers_.clear();
        size_t bytes = 0;
        for (const SharedPacket& packet : queue_) {
            if (!buffers_.empty() && (role_ == Role::Player || bytes + packet->size() > kMaxSpectatorFrameBytes))
                break;
            buffers_.emplace_back(packet->data(), packet->size());
            bytes += packet->size();
        }
        ws_.async_write(buffers_, [self = shared_from_this()](beast::error_code ec, size_t) { self->onWritten(ec); });
    }

    void onWritten(beast::error_code ec)
    {
        writing_ = false;
        for (size_t i = 0; i < buffers_.size(); ++i) {
            queuedBytes_ -= queue_.front()->size();
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

    void closeWith(const websocket::close_reason& reason)
    {
        if (closeSent_)
            return;
        closeSent_ = true;
        ws_.async_close(reason,
                        [self = shared_from_this()](beast::error_code) { self->finish(); });
    }

    // The one place a player's end is reported, whatever ended it.
    void finish()
    {
        if (id_ == 0)
            return;
        int id = std::exchange(id_, 0);
        state_->players.erase(id);
        if (state_->events)
            state_->events->onDisconnect(id);
    }

    websocket::stream<beast::tcp_stream> ws_;
    std::shared_ptr<State> state_;
    WebSlot slot_;
    http::request<http::empty_body> request_;
    beast::flat_buffer buffer_;
    std::deque<SharedPacket> queue_;
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

// The path of a request target, without its query.
std::string_view PathOf(std::string_view target) { return target.substr(0, target.find('?')); }

// The N of "bytes=N-", the one range form served; nothing for any other.
std::optional<uint64_t> RangeStart(std::string_view range)
{
    constexpr std::string_view kPrefix = "bytes=";
    if (!range.starts_with(kPrefix) || !range.ends_with('-') || range.size() == kPrefix.size() + 1 ||
        range.size() > kPrefix.size() + 20)
        return std::nullopt;
    uint64_t start = 0;
    for (char c : range.substr(kPrefix.size(), range.size() - kPrefix.size() - 1)) {
        if (c < '0' || c > '9' || start > (UINT64_MAX - 9) / 10)
            return std::nullopt;
        start = start * 10 + static_cast<uint64_t>(c - '0');
    }
    return start;
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

// One request answered on the disk thread: a page whose body reads the disk, or a
// file of a folder, sent with sendfile as the reader takes it. No deadline is set on
// the answer as a whole: a download at any steady rate completes, and only one that
// takes nothing for kWebDiskIdleSeconds is ended. The connection closes after it.
class DiskAnswer : public std::enable_shared_from_this<DiskAnswer> {
public:
    DiskAnswer(asio::io_context& io, tcp::socket socket, WebPage page, std::string name,
               http::request<http::empty_body> request, std::function<void()> done)
        : socket_(std::move(socket)), idle_(io), page_(std::move(page)), name_(std::move(name)),
          request_(std::move(request)), done_(std::move(done))
    {
    }
    ~DiskAnswer()
    {
        if (file_ >= 0)
            ::close(file_);
        done_();
    }

    void start()
    {
        if (!page_.file) {
            auto response = std::make_shared<http::response<http::string_body>>(http::status::ok, request_.version());
            SetCommonHeaders(*response, page_.contentType);
            response->keep_alive(false);
            response->body() = page_.body();
            response->prepare_payload();
            if (request_.method() == http::verb::head)
                response->body().clear();
            return write(response, false);
        }
        file_ = page_.file(name_);
        struct stat status {};
        if (file_ < 0 || fstat(file_, &status) != 0)
            return answer(http::status::not_found, "Not found\n");
        // The size as it stands now: a recording still growing is sent as far as it was.
        const uint64_t whole = static_cast<uint64_t>(status.st_size);
        auto range = request_.find(http::field::range);
        std::optional<uint64_t> from =
            range == request_.end() ? std::nullopt : RangeStart({range->value().data(), range->value().size()});
        auto response = std::make_shared<http::response<http::empty_body>>(
            from ? http::status::partial_content : http::status::ok, request_.version());
        if (from && *from >= whole) {
            response->result(http::status::range_not_satisfiable);
            response->set(http::field::content_range, "bytes */" + std::to_string(whole));
            SetCommonHeaders(*response, "text/plain");
            response->content_length(0);
            response->keep_alive(false);
            return write(response, false);
        }
        const uint64_t start = from.value_or(0);
        offset_ = static_cast<off_t>(start);
        left_ = whole - start;
        SetCommonHeaders(*response, page_.contentType);
        response->set(http::field::accept_ranges, "bytes");
        if (from.has_value())
            response->set(http::field::content_range, "bytes " + std::to_string(start) + "-" +
                                                          std::to_string(whole - 1) + "/" + std::to_string(whole));
        response->content_length(left_);
        response->keep_alive(false);
        write(response, request_.method() == http::verb::get);
    }

private:
    void answer(http::status status, std::string body)
    {
        auto response = std::make_shared<http::response<http::string_body>>(status, request_.version());
        SetCommonHeaders(*response, "text/plain");
        response->keep_alive(false);
        response->body() = std::move(body);
        response->prepare_payload();
        write(response, false);
    }

    template <class Response>
    void write(const std::shared_ptr<Response>& response, bool thenBody)
    {
        wakeIdle();
        http::async_write(socket_, *response,
                          [self = shared_from_this(), response, thenBody](beast::error_code ec, size_t) {
                              if (!ec && thenBody)
                                  return self->sendBody();
                              self->end();
                          });
    }

    // As much as the socket takes without waiting, then again once it has room.
    void sendBody()
    {
        beast::error_code ec;
        socket_.non_blocking(true, ec);
        for (int round = 0; !ec && left_ > 0 && round < 4; ++round) {
            ssize_t sent = sendfile(socket_.native_handle(), file_, &offset_,
                                    static_cast<size_t>(std::min<uint64_t>(left_, kChunkBytes)));
            if (sent < 0 && errno == EINTR)
                continue;
            if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            if (sent <= 0) // an error, or the file was cut shorter than its announced length
                return end();
            left_ -= static_cast<uint64_t>(sent);
            wakeIdle();
        }
        if (ec || left_ == 0)
            return end();
        socket_.async_wait(tcp::socket::wait_write, [self = shared_from_this()](beast::error_code waitError) {
            if (waitError)
                return self->end();
            self->sendBody();
        });
    }

    void wakeIdle()
    {
        idle_.expires_after(std::chrono::seconds(kWebDiskIdleSeconds));
        idle_.async_wait([weak = weak_from_this()](beast::error_code ec) {
            if (auto self = ec ? nullptr : weak.lock()) {
                beast::error_code ignored;
                self->socket_.close(ignored);
            }
        });
    }

    void end()
    {
        beast::error_code ignored;
        idle_.cancel();
        socket_.shutdown(tcp::socket::shutdown_send, ignored);
        socket_.close(ignored);
    }

    static constexpr uint64_t kChunkBytes = 1024 * 1024;
    tcp::socket socket_;
    asio::steady_timer idle_;
    WebPage page_;
    std::string name_;
    http::request<http::empty_body> request_;
    std::function<void()> done_;
    int file_ = -1;
    off_t offset_ = 0;
    uint64_t left_ = 0;
};

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
            respond(request, http::status::ok, page->second.contentType, page->second.body());
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
            std::make_shared<DiskAnswer>(disk, std::move(socket), std::move(page), std::move(name), std::move(request),
                                         std::move(done))
                ->start();
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
                 std::string body)
    {
        response_ = {status, request.version()};
        if (status == http::status::method_not_allowed)
            response_.set(http::field::allow, "GET, HEAD");
        send(request, type, std::move(body));
    }

    // Sends response_, its status (and any header of its own) set, with the common headers and body.
    void send(const http::request<http::empty_body>& request, std::string_view type, std::string body)
    {
        SetCommonHeaders(response_, type);
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
            std::make_shared<HttpSession>(std::move(socket), state, WebSlot(*state, *slot))->readRequest();
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
    beast::error_code ec;
    tcp::endpoint endpoint(asio::ip::address_v4::any(), port);
    tcp::acceptor& acceptor = state_->acceptor;
    acceptor.open(endpoint.protocol(), ec);
    if (!ec)
        acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec)
        acceptor.bind(endpoint, ec);
    if (!ec)
        acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        error = "TCP port " + std::to_string(port) + ": " + ec.message();
        acceptor.close(ec);
        return false;
    }
    AcceptNext(state_);
    return true;
}

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
    std::vector<WsSession*> open;
    for (auto& [id, session] : state_->players)
        open.push_back(session);
    for (WsSession* session : open)
        session->beginClose();
}

bool WebFront::drained() const { return state_->players.empty(); }

void WebFront::abort()
{
    beginClose();
    std::vector<std::shared_ptr<WsSession>> open;
    for (auto& [id, session] : state_->players)
        open.push_back(session->shared_from_this());
    for (auto& session : open)
        session->drop();
    state_->drops.clear();
}

} // namespace skirmish

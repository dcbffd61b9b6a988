// The operators' commands over HTTP, with bearer tokens, on a thread of its own.
#include "net/server/admin_http.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

#include "net/server/admin_link.h"
#include "net/server/web/common.h"

namespace skirmish {

using namespace web;

namespace {

using Clock = std::chrono::steady_clock;

// Never reused: far from the admin link's numbers and the disk threads' tokens.
constexpr uint64_t kWakeToken = uint64_t{1} << 61;
// A command line and its line end.
constexpr size_t kMostBodyBytes = kMaxAdminLineBytes + 2;
// Addresses whose wrong tokens are remembered; past this, those forgotten soonest go first.
constexpr size_t kMostAddressesRemembered = 4096;
constexpr const char* kPath = "/admin";

// Compares in a time that does not depend on where the two differ.
bool SameToken(std::string_view a, std::string_view b)
{
    unsigned differ = a.size() != b.size();
    for (size_t i = 0; i < std::max(a.size(), b.size()); ++i)
        differ |= static_cast<unsigned char>(i < a.size() ? a[i] : 0) ^ static_cast<unsigned char>(i < b.size() ? b[i] : 0);
    return differ == 0;
}

class Session;

} // namespace

// Declared in the order that lets the io_context, destroyed with what its handlers
// still hold, find the counts and tables its sessions give back still there.
struct AdminHttp::State {
    struct Failures {
        int count = 0;
        Clock::time_point last;
        Clock::time_point until; // requests from the address wait until then
    };

    std::vector<AdminToken> tokens;
    int eventFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    std::mutex mutex;
    std::vector<Request> waiting; // under mutex: the one thing both threads touch
    // The HTTP thread's alone:
    uint64_t lastId = 0;
    std::unordered_map<uint64_t, std::weak_ptr<Session>> asked;
    std::unordered_map<std::string, Failures> failures;
    std::unordered_map<std::string, int> perAddress;
    int open = 0;
    int writing = 0; // answers being written
    asio::io_context io;
    tcp::acceptor acceptor{io};
    asio::steady_timer acceptRetry{io};
    std::thread thread;

    ~State()
    {
        if (eventFd >= 0)
            ::close(eventFd);
    }

    const AdminToken* find(std::string_view token) const
    {
        const AdminToken* found = nullptr;
        for (const AdminToken& known : tokens) // every one compared, whichever matches
            if (SameToken(known.token, token))
                found = &known;
        return found;
    }

    Clock::time_point waitUntil(const std::string& address)
    {
        auto entry = failures.find(address);
        if (entry == failures.end())
            return Clock::now();
        if (Clock::now() - entry->second.last > kAdminHttpForgetFailures) {
            failures.erase(entry);
            return Clock::now();
        }
        return entry->second.until;
    }

    void failed(const std::string& address)
    {
        const auto now = Clock::now();
        if (failures.size() >= kMostAddressesRemembered && !failures.contains(address))
            std::erase_if(failures, [&](const auto& entry) { return now - entry.second.last > kAdminHttpForgetFailures; });
        if (failures.size() >= kMostAddressesRemembered)
            failures.erase(std::min_element(failures.begin(), failures.end(), [](const auto& a, const auto& b) {
                return a.second.last < b.second.last;
            }));
        Failures& entry = failures[address];
        if (now - entry.last > kAdminHttpForgetFailures)
            entry.count = 0;
        ++entry.count;
        entry.last = now;
        auto penalty = kAdminHttpFirstPenalty * (1 << std::min(entry.count - 1, 16));
        entry.until = now + std::min<Clock::duration>(penalty, kAdminHttpMostPenalty);
    }

    void hand(Request request)
    {
        {
            std::lock_guard lock(mutex);
            waiting.push_back(std::move(request));
        }
        uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(eventFd, &one, sizeof one);
    }

    void acceptNext();
    // Takes no more requests, answers those the loop will not, and ends the thread
    // once every answer is written, or at the deadline.
    void close();
    void stopOnceWritten(Clock::time_point deadline);
};

namespace {

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket&& socket, AdminHttp::State& state, std::string address)
        : stream_(std::move(socket)), state_(state), address_(std::move(address)), timer_(state.io)
    {
        ++state_.open;
        ++state_.perAddress[address_];
    }
    ~Session()
    {
        --state_.open;
        if (--state_.perAddress[address_] <= 0)
            state_.perAddress.erase(address_);
    }

    void start()
    {
        parser_.header_limit(kMaxRequestHeaderBytes);
        parser_.body_limit(kMostBodyBytes);
        stream_.expires_after(kHeaderTimeout);
        http::async_read(stream_, buffer_, parser_,
                         [self = shared_from_this()](beast::error_code ec, size_t) { self->onRequest(ec); });
    }

    void deliver(int status, std::string text, const std::function<bool(std::string&)>& more)
    {
        if (std::exchange(answered_, true))
            return;
        timer_.cancel();
        while (more && more(text)) {
        }
        reply(static_cast<http::status>(status), std::move(text));
    }

private:
    void onRequest(beast::error_code ec)
    {
        if (ec == http::error::body_limit)
            return reply(http::status::payload_too_large,
                         "Error: the command is longer than " + std::to_string(kMaxAdminLineBytes) + " bytes\n");
        if (ec)
            return; // timed out, gone, or not HTTP: closed unanswered
        const auto& request = parser_.get();
        if (PathOf({request.target().data(), request.target().size()}) != kPath)
            return reply(http::status::not_found, "Error: not found; commands are POSTed to /admin\n");
        if (request.method() != http::verb::post)
            return reply(http::status::method_not_allowed, "Error: only POST\n");
        // Whatever its token, a request from an address that sent wrong ones waits its penalty first.
        wait(state_.waitUntil(address_), [this] { authorize(); });
    }

    void authorize()
    {
        const auto& request = parser_.get();
        auto header = request[http::field::authorization];
        std::string_view given(header.data(), header.size());
        constexpr std::string_view kScheme = "Bearer ";
        const AdminToken* token = given.size() > kScheme.size() && given.substr(0, kScheme.size()) == kScheme
                                      ? state_.find(given.substr(kScheme.size()))
                                      : nullptr;
        if (!token) {
            state_.failed(address_);
            return wait(state_.waitUntil(address_), [this] {
                unauthorized_ = true;
                reply(http::status::unauthorized, "Error: a valid bearer token is needed\n");
            });
        }
        state_.failures.erase(address_);
        std::string line = request.body();
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        if (line.empty() || line.find_first_of("\r\n") != std::string::npos)
            return reply(http::status::bad_request, "Error: the body is one command line\n");
        const uint64_t id = ++state_.lastId;
        state_.asked.emplace(id, weak_from_this());
        state_.hand({id, std::move(line), token->role, "http:" + token->name + "@" + address_});
        wait(Clock::now() + kAdminHttpAnswerWait, [this, id] {
            state_.asked.erase(id);
            deliver(503, "Error: the server did not answer in time; the command may yet run\n", nullptr);
        });
    }

    void wait(Clock::time_point until, std::function<void()> then)
    {
        timer_.expires_at(until);
        timer_.async_wait([self = shared_from_this(), then = std::move(then)](beast::error_code ec) {
            if (!ec)
                then();
        });
    }

    void reply(http::status status, std::string text)
    {
        response_ = {status, parser_.get().version() ? parser_.get().version() : 11};
        response_.set(http::field::content_type, "text/plain; charset=utf-8");
        response_.set(http::field::cache_control, "no-store");
        response_.set(http::field::server, kServerName);
        if (status == http::status::method_not_allowed)
            response_.set(http::field::allow, "POST");
        if (unauthorized_)
            response_.set(http::field::www_authenticate, "Bearer");
        response_.keep_alive(false);
        response_.body() = std::move(text);
        response_.prepare_payload();
        stream_.expires_after(kAdminHttpAnswerWait);
        ++state_.writing;
        http::async_write(stream_, response_, [self = shared_from_this()](beast::error_code ec, size_t) {
            --self->state_.writing;
            self->stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
        });
    }

    beast::tcp_stream stream_;
    AdminHttp::State& state_;
    std::string address_;
    asio::steady_timer timer_;
    beast::flat_buffer buffer_;
    http::request_parser<http::string_body> parser_;
    http::response<http::string_body> response_;
    bool answered_ = false;
    bool unauthorized_ = false;
};

} // namespace

void AdminHttp::State::acceptNext()
{
    acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted)
            return;
        if (ec) {
            acceptRetry.expires_after(kAcceptRetryDelay);
            acceptRetry.async_wait([this](beast::error_code waitError) {
                if (!waitError)
                    acceptNext();
            });
            return;
        }
        beast::error_code peerError;
        auto peer = socket.remote_endpoint(peerError);
        const std::string address = peerError ? std::string() : peer.address().to_string();
        auto held = perAddress.find(address);
        // Refused ones close unread as the socket goes out of scope.
        if (!peerError && open < kAdminHttpMostConnections &&
            (held == perAddress.end() || held->second < kAdminHttpMostPerAddress))
            std::make_shared<Session>(std::move(socket), *this, address)->start();
        acceptNext();
    });
}

void AdminHttp::State::close()
{
    beast::error_code ignored;
    acceptor.close(ignored);
    acceptRetry.cancel();
    for (auto& [id, weak] : std::exchange(asked, {}))
        if (auto session = weak.lock())
            session->deliver(503, "Error: the server is stopping; the command was not run\n", nullptr);
    stopOnceWritten(Clock::now() + kAdminHttpExitWait);
}

void AdminHttp::State::stopOnceWritten(Clock::time_point deadline)
{
    if (writing == 0 || Clock::now() >= deadline)
        return io.stop();
    acceptRetry.expires_after(std::chrono::milliseconds(10));
    acceptRetry.async_wait([this, deadline](beast::error_code) { stopOnceWritten(deadline); });
}

AdminHttp::AdminHttp(std::vector<AdminToken> tokens) : state_(std::make_unique<State>())
{
    state_->tokens = std::move(tokens);
}

AdminHttp::~AdminHttp()
{
    if (!state_->thread.joinable())
        return;
    // Answers handed over already still go out ("stop" is answered too), for a moment at most.
    asio::post(state_->io, [state = state_.get()] { state->close(); });
    state_->thread.join();
}

bool AdminHttp::open(const std::string& address, uint16_t port, std::string& error)
{
    beast::error_code ec;
    const auto ip = asio::ip::make_address(address, ec);
    tcp::acceptor& acceptor = state_->acceptor;
    if (!ec)
        ec = Listen(acceptor, {ip, port});
    if (ec || state_->eventFd < 0) {
        error = address + ":" + std::to_string(port) + ": " + (ec ? ec.message() : "no eventfd");
        acceptor.close(ec);
        return false;
    }
    state_->acceptNext();
    state_->thread = std::thread([state = state_.get()] { state->io.run(); });
    return true;
}

uint16_t AdminHttp::port() const
{
    beast::error_code ec;
    auto endpoint = state_->acceptor.local_endpoint(ec);
    return ec ? 0 : endpoint.port();
}

std::vector<AdminHttp::Request> AdminHttp::take()
{
    uint64_t count = 0;
    [[maybe_unused]] ssize_t got = ::read(state_->eventFd, &count, sizeof count);
    std::lock_guard lock(state_->mutex);
    return std::exchange(state_->waiting, {});
}

void AdminHttp::answer(uint64_t id, int status, std::string text, std::function<bool(std::string&)> more)
{
    asio::post(state_->io, [state = state_.get(), id, status, text = std::move(text), more = std::move(more)]() mutable {
        auto asked = state->asked.find(id);
        if (asked == state->asked.end())
            return; // answered 503 already
        auto session = asked->second.lock();
        state->asked.erase(asked);
        if (session)
            session->deliver(status, std::move(text), more);
    });
}

Wake AdminHttp::wake() const { return {state_->eventFd, false, kWakeToken}; }

bool SplitHostPort(const std::string& text, std::string& address, uint16_t& port)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    address = text.substr(0, colon);
    if (address.front() == '[' && address.back() == ']')
        address = address.substr(1, address.size() - 2);
    const std::string digits = text.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const int number = std::stoi(digits);
    if (number < 1 || number > 65535)
        return false;
    port = static_cast<uint16_t>(number);
    beast::error_code ec;
    asio::ip::make_address(address, ec);
    return !ec;
}

} // namespace skirmish

#include "net/server/web/downloads.h"

#include <sys/sendfile.h>
#include <sys/stat.h>

#include <optional>

namespace skirmish::web {
namespace {

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

} // namespace

void AnswerOnDisk(asio::io_context& disk, tcp::socket socket, WebPage page, std::string name,
                  http::request<http::empty_body> request, std::function<void()> done)
{
    std::make_shared<DiskAnswer>(disk, std::move(socket), std::move(page), std::move(name), std::move(request),
                                 std::move(done))
        ->start();
}

} // namespace skirmish::web

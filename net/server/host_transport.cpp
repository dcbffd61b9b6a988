#include "net/server/host_transport.h"

#include <poll.h>
#include <unistd.h>

#include <utility>

#include <boost/asio.hpp>

#include <chrono>
#include <optional>

#include "core/console.h"
#include "net/server/enet_transport.h"
#include "net/server/web_front.h"

namespace skirmish {
namespace {

namespace asio = boost::asio;
using Milliseconds = std::chrono::milliseconds;

constexpr Milliseconds kCloseGrace{1000};

// Readiness of a descriptor someone else owns, as an event of the io_context.
class Readiness {
public:
    explicit Readiness(asio::io_context& io) : descriptor_(io) {}
    ~Readiness() { forget(); }

    // Watches a duplicate, so the owner may close its descriptor whenever it likes.
    void watch(int fd)
    {
        forget();
        if (fd >= 0)
            descriptor_.assign(dup(fd));
    }

    void forget()
    {
        boost::system::error_code ignored;
        descriptor_.close(ignored);
        armed_ = false;
    }

    // One readiness ends the next wait; re-armed by the wait after it.
    void arm()
    {
        if (armed_ || !descriptor_.is_open())
            return;
        armed_ = true;
        descriptor_.async_wait(asio::posix::descriptor_base::wait_read,
                               [this](boost::system::error_code) { armed_ = false; });
    }

private:
    asio::posix::stream_descriptor descriptor_;
    bool armed_ = false;
};

class HostTransport final : public Transport {
public:
    explicit HostTransport(WebPages pages) : pages_(std::move(pages)) {}
    ~HostTransport() override { close(); }

    bool open(uint16_t port, int maxConnections, TransportEvents& events, std::string& error) override
    {
        close();
        if (!enet_->open(port, maxConnections, events, error))
            return false;
        events_ = &events;
        enetReady_.watch(enet_->prepareWait().descriptor);
        stopReady_.watch(StopWakeDescriptor());
        web_.emplace(io_, events, pages_);
        std::string webError;
        if (!web_->open(enet_->boundPort(), webError)) {
            ConsoleLine("Web front not started: ", webError);
            web_.reset();
        }
        return true;
    }

    bool isOpen() const override { return enet_->isOpen(); }

    void service(int timeoutMs, bool untilTimeout) override
    {
        if (!isOpen())
            return;
        if (web_)
            web_->prepareService();
        if (untilTimeout && timeoutMs > 0) {
            // Browsers' frames are taken as they come; ENet's datagrams gather in its socket.
            io_.run_for(Milliseconds(timeoutMs));
        } else if (timeoutMs != 0) {
            waitForTraffic(timeoutMs);
        }
        // Each connection's reads stop at its own cap, so neither side waits on the other's backlog.
        io_.poll();
        enet_->service(0, false);
    }

    void sendPacket(int id, Bytes&& packet) override
    {
        if (web_ && web_->owns(id))
            web_->sendPacket(id, std::move(packet));
        else
            enet_->sendPacket(id, std::move(packet));
    }

    void sendShared(int id, const SharedPacket& packet) override
    {
        if (web_ && web_->owns(id))
            web_->sendShared(id, packet);
        else
            enet_->sendShared(id, packet);
    }

    void close() override
    {
        if (!isOpen())
            return;
        if (web_) {
            web_->beginClose();
            io_.poll();
        }
        enet_->close();
        auto deadline = std::chrono::steady_clock::now() + kCloseGrace;
        while (web_ && !web_->drained() && std::chrono::steady_clock::now() < deadline)
            io_.run_one_for(Milliseconds(10));
        web_.reset();
        io_.poll();
        enetReady_.forget();
        stopReady_.forget();
        events_ = nullptr;
    }

    uint16_t boundPort() const override { return enet_->boundPort(); }
    bool isWebConnection(int id) const override { return web_ && web_->owns(id); }

private:
    // Sleeps until a datagram, a browser's traffic, a stop request or the time is up.
    void waitForTraffic(int timeoutMs)
    {
        WaitPlan plan = enet_->prepareWait();
        timeoutMs = plan.limit(timeoutMs);
        enetReady_.arm();
        stopReady_.arm();
        // The io_context learns of readiness by edges, and an edge that came while
        // no wait was armed is lost: look once more, now that both are armed.
        pollfd fds[2] = {{plan.descriptor, POLLIN, 0}, {StopWakeDescriptor(), POLLIN, 0}};
        if (poll(fds, 2, 0) > 0)
            return;
        if (timeoutMs < 0)
            io_.run_one();
        else
            io_.run_one_for(Milliseconds(timeoutMs));
    }

    WebPages pages_;
    asio::io_context io_{1};
    // The loop's waits run the io_context even when no socket is busy.
    asio::executor_work_guard<asio::io_context::executor_type> work_ = asio::make_work_guard(io_);
    std::unique_ptr<Transport> enet_ = MakeEnetTransport();
    std::optional<WebFront> web_;
    Readiness enetReady_{io_};
    Readiness stopReady_{io_};
    TransportEvents* events_ = nullptr;
};

} // namespace

std::unique_ptr<Transport> MakeHostTransport(WebPages pages) { return std::make_unique<HostTransport>(std::move(pages)); }

} // namespace skirmish

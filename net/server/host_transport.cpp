#include "net/server/host_transport.h"

#include <poll.h>
#include <unistd.h>

#include <utility>

#include <boost/asio.hpp>

#include <chrono>
#include <deque>
#include <vector>
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
    // One the system cannot watch (a regular file, say) is not watched.
    void watch(int fd, bool writable = false)
    {
        forget();
        writable_ = writable;
        int copy = fd >= 0 ? dup(fd) : -1;
        boost::system::error_code ec;
        if (copy >= 0 && descriptor_.assign(copy, ec))
            ::close(copy);
    }

    // A wait cancelled here still completes later: it holds its flag, not this.
    void forget()
    {
        boost::system::error_code ignored;
        descriptor_.close(ignored);
        armed_ = std::make_shared<bool>(false);
    }

    // One readiness ends the next wait; re-armed by the wait after it.
    void arm()
    {
        if (*armed_ || !descriptor_.is_open())
            return;
        *armed_ = true;
        descriptor_.async_wait(writable_ ? asio::posix::descriptor_base::wait_write
                                         : asio::posix::descriptor_base::wait_read,
                               [armed = armed_](boost::system::error_code) { *armed = false; });
    }

private:
    asio::posix::stream_descriptor descriptor_;
    std::shared_ptr<bool> armed_ = std::make_shared<bool>(false);
    bool writable_ = false;
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

    void service(std::chrono::microseconds timeout, bool untilTimeout) override
    {
        if (!isOpen())
            return;
        if (web_)
            web_->prepareService();
        if (untilTimeout && timeout.count() > 0) {
            // Browsers' frames are taken as they come; ENet's datagrams gather in its socket.
            io_.run_for(timeout);
        } else if (timeout.count() != 0) {
            waitForTraffic(timeout);
        }
        // Each connection's reads stop at its own cap, so neither side waits on the other's backlog.
        io_.poll();
        enet_->service(std::chrono::microseconds(0), false);
    }

    void sendPacket(int id, Bytes&& packet) override
    {
        if (web_ && web_->owns(id))
            web_->sendPacket(id, std::move(packet));
        else
            enet_->sendPacket(id, std::move(packet));
    }

    void sendUnreliable(int id, Bytes&& packet) override
    {
        if (web_ && web_->owns(id))
            web_->sendPacket(id, std::move(packet));
        else
            enet_->sendUnreliable(id, std::move(packet));
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
        extraReady_.clear();
        watched_.clear();
        events_ = nullptr;
    }

    uint16_t boundPort() const override { return enet_->boundPort(); }
    bool isWebConnection(int id) const override { return web_ && web_->owns(id); }

    void endConnection(int id, const Farewell& farewell) override
    {
        if (web_ && web_->owns(id))
            web_->endConnection(id, farewell);
        else
            enet_->endConnection(id, farewell);
    }

    std::optional<int> roundTripMs(int id) const override
    {
        return web_ && web_->owns(id) ? web_->roundTripMs(id) : enet_->roundTripMs(id);
    }

private:
    // Sleeps until a datagram, a browser's traffic, a stop request or the time is up.
    void waitForTraffic(std::chrono::microseconds timeout)
    {
        WaitPlan plan = enet_->prepareWait();
        timeout = plan.limit(timeout);
        enetReady_.arm();
        stopReady_.arm();
        watchExtraWakes();
        // The io_context learns of readiness by edges, and an edge that came while
        // no wait was armed is lost: look once more, now that all are armed.
        std::vector<pollfd> fds = {{plan.descriptor, POLLIN, 0}, {StopWakeDescriptor(), POLLIN, 0}};
        for (const Wake& wake : ExtraWakes())
            fds.push_back({wake.descriptor, static_cast<short>(wake.writable ? POLLOUT : POLLIN), 0});
        if (poll(fds.data(), fds.size(), 0) > 0)
            return;
        if (timeout.count() < 0)
            io_.run_one();
        else
            io_.run_one_for(timeout);
    }

    // The extra wakes are few and change rarely (an operator's connections).
    void watchExtraWakes()
    {
        if (watched_ != ExtraWakes()) {
            watched_ = ExtraWakes();
            extraReady_.clear();
            for (const Wake& wake : watched_)
                extraReady_.emplace_back(io_).watch(wake.descriptor, wake.writable);
        }
        for (Readiness& ready : extraReady_)
            ready.arm();
    }

    WebPages pages_;
    asio::io_context io_{1};
    // The loop's waits run the io_context even when no socket is busy.
    asio::executor_work_guard<asio::io_context::executor_type> work_ = asio::make_work_guard(io_);
    std::unique_ptr<Transport> enet_ = MakeEnetTransport();
    std::optional<WebFront> web_;
    Readiness enetReady_{io_};
    Readiness stopReady_{io_};
    std::vector<Wake> watched_;
    std::deque<Readiness> extraReady_; // never moved: their waits point at them
    TransportEvents* events_ = nullptr;
};

} // namespace

std::unique_ptr<Transport> MakeHostTransport(WebPages pages) { return std::make_unique<HostTransport>(std::move(pages)); }

} // namespace skirmish

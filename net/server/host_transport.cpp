#include "net/server/host_transport.h"

#include <poll.h>
#include <unistd.h>

#include <utility>

#include <boost/asio.hpp>

#include <chrono>
#include <deque>
#include <vector>
#include <optional>

#include <openssl/rand.h>

#include "core/clock.h"
#include "core/console.h"
#include "net/server/enet_transport.h"
#include "net/server/rtc_door.h"
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

// The web front's events, passed on; a browser's end also closes its data channel.
class WebEvents final : public TransportEvents {
public:
    WebEvents(TransportEvents& events, std::function<void(int)> ended) : events_(events), ended_(std::move(ended)) {}
    int onConnect(const std::string& address, ConnectRequest request) override { return events_.onConnect(address, request); }
    void onDisconnect(int id) override
    {
        ended_(id);
        events_.onDisconnect(id);
    }
    void onPacket(int id, std::span<const uint8_t> packet) override { events_.onPacket(id, packet); }
    void onDrop(DropCause cause) override { events_.onDrop(cause); }
    void onWebRefused() override { events_.onWebRefused(); }
    size_t waitingInput(int id) const override { return events_.waitingInput(id); }
    size_t backlogCap() const override { return events_.backlogCap(); }

private:
    TransportEvents& events_;
    std::function<void(int)> ended_;
};

class HostTransport final : public Transport {
public:
    HostTransport(WebPages pages, std::string datagramAddress)
        : pages_(std::move(pages)), datagramAddress_(std::move(datagramAddress))
    {
    }
    ~HostTransport() override { close(); }

    bool open(uint16_t port, int maxConnections, TransportEvents& events, std::string& error) override
    {
        close();
        if (!enet_->open(port, maxConnections, events, error))
            return false;
        events_ = &events;
        enetReady_.watch(enet_->prepareWait().descriptor);
        stopReady_.watch(StopWakeDescriptor());
        webEvents_.emplace(events, [this](int id) {
            if (door_)
                door_->forget(id);
        });
        web_.emplace(io_, *webEvents_, pages_);
        std::string webError;
        if (!web_->open(enet_->boundPort(), webError)) {
            ConsoleLine("Web front not started: ", webError);
            web_.reset();
            return true;
        }
        openDoor();
        return true;
    }

    bool isOpen() const override { return enet_->isOpen(); }

    void service(std::chrono::microseconds timeout, bool untilTimeout) override
    {
        if (!isOpen())
            return;
        if (web_)
            web_->prepareService();
        if (door_) {
            door_->service(ReadClock());
            if (auto due = door_->msUntilDue(ReadClock())) {
                const std::chrono::microseconds most = Milliseconds(*due);
                if (timeout.count() < 0 || most < timeout)
                    timeout = most;
            }
        }
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

    // A browser's state takes its data channel when it has one open, else the WebSocket.
    void sendUnreliable(int id, Bytes&& packet) override
    {
        if (web_ && web_->owns(id)) {
            if (door_ && door_->send(id, packet))
                ++statesOverDatagrams_;
            else
                web_->sendPacket(id, std::move(packet));
        }
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
        enet_->tapDatagrams(nullptr);
        door_.reset();
        enet_->close();
        auto deadline = std::chrono::steady_clock::now() + kCloseGrace;
        while (web_ && !web_->drained() && std::chrono::steady_clock::now() < deadline)
            io_.run_one_for(Milliseconds(10));
        web_.reset();
        webEvents_.reset();
        io_.poll();
        enetReady_.forget();
        stopReady_.forget();
        extraReady_.clear();
        watched_.clear();
        events_ = nullptr;
    }

    uint16_t boundPort() const override { return enet_->boundPort(); }
    bool isWebConnection(int id) const override { return web_ && web_->owns(id); }

    DatagramStats datagramStats() const override
    {
        return {door_ ? static_cast<int>(door_->openChannels()) : 0, statesOverDatagrams_};
    }

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
    // Browsers' data channels on the UDP port, signalled over their WebSockets.
    void openDoor()
    {
        RtcDoor::Wiring wiring;
        wiring.sendDatagram = [this](const UdpAddress& to, std::span<const uint8_t> datagram) {
            enet_->sendDatagram(to, datagram);
        };
        wiring.deliver = [this](int id, std::span<const uint8_t> packet) {
            if (events_ && web_ && web_->owns(id))
                events_->onPacket(id, packet);
        };
        wiring.random = [](std::span<uint8_t> bytes) {
            return RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) == 1;
        };
        door_ = std::make_unique<RtcDoor>(std::move(wiring), enet_->boundPort());
        enet_->tapDatagrams([this](const UdpAddress& from, std::span<const uint8_t> datagram) {
            return door_->take(from, datagram, ReadClock());
        });
        web_->setSignalling([this](int id, std::string_view text, const std::string& localAddress) {
            return door_->signal(id, text, datagramAddress_.empty() ? localAddress : datagramAddress_, ReadClock());
        });
    }

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
    std::string datagramAddress_;
    asio::io_context io_{1};
    // The loop's waits run the io_context even when no socket is busy.
    asio::executor_work_guard<asio::io_context::executor_type> work_ = asio::make_work_guard(io_);
    std::unique_ptr<Transport> enet_ = MakeEnetTransport();
    std::optional<WebEvents> webEvents_;
    std::optional<WebFront> web_;
    std::unique_ptr<RtcDoor> door_;
    uint64_t statesOverDatagrams_ = 0;
    Readiness enetReady_{io_};
    Readiness stopReady_{io_};
    std::vector<Wake> watched_;
    std::deque<Readiness> extraReady_; // never moved: their waits point at them
    TransportEvents* events_ = nullptr;
};

} // namespace

std::unique_ptr<Transport> MakeHostTransport(WebPages pages, std::string datagramAddress)
{
    return std::make_unique<HostTransport>(std::move(pages), std::move(datagramAddress));
}

} // namespace skirmish

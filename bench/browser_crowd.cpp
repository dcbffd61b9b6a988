// A crowd of browsers that take their states on WebRTC data channels, for the benchmark
// that weighs them against as many ENet clients: each watches over a WebSocket at
// /watch?v=3, offers a channel there, checks the answer's candidate from a UDP socket
// of its own, opens DTLS, SCTP and the "state" channel as a page does, and then
// acknowledges on the channel every state newer than the last it took.
//
// One thread and one epoll for every socket, so that the crowd costs the machine little
// and the figures are the server's. The WebSocket side only walks frames: it answers
// pings, reads the answer, and counts the rest without decoding it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <array>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "core/flags.h"
#include "net/rtc/data_channel.h"
#include "net/rtc/sdp.h"
#include "net/rtc/stun.h"
#include "protocol/compact.h"
#include "protocol/version3.h"

namespace skirmish {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// What a browser asks again when its check went unanswered (Chromium starts near 50 ms
// and backs off; a steady pace is enough on loopback).
constexpr milliseconds kCheckEvery{200};
// usrsctp's timers and the handshakes' resends run this often.
constexpr milliseconds kTimerEvery{10};

struct Options {
    uint16_t port = 23987;
    int browsers = 100;
    double seconds = 20;
    double warmup = 5;
    double openWithin = 20; // after the last browser connected
};

struct Counts {
    uint64_t states = 0, acks = 0, socketFrames = 0, stateBytes = 0;
};

std::mt19937_64 gRandom{std::random_device{}()};
// What the crowd took while measuring.
Counts gCounts;
bool gMeasuring = false;

class Browser {
public:
    enum class Stage { Signalling, Checking, Handshaking, Open, Failed };

    // Connects and upgrades, blocking, then offers; false when the server refused.
    bool open(uint16_t port, const std::shared_ptr<const rtc::Certificate>& certificate)
    {
        certificate_ = certificate;
        tcp_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in server{AF_INET, htons(port), {}, {}};
        inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
        timeval limit{5, 0};
        setsockopt(tcp_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        if (tcp_ < 0 || connect(tcp_, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0)
            return false;
        const std::string request = "GET /watch?v=3 HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                    "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
        if (write(tcp_, request.data(), request.size()) != static_cast<ssize_t>(request.size()))
            return false;
        // Byte by byte up to the header's end, so no frame is read along with it.
        std::string header;
        char c;
        while (!header.ends_with("\r\n\r\n") && ::read(tcp_, &c, 1) == 1)
            header += c;
        if (!header.starts_with("HTTP/1.1 101"))
            return false;
        std::array<uint8_t, rtc::kIceRandomBytes> random;
        for (uint8_t& byte : random)
            byte = static_cast<uint8_t>(gRandom());
        ice_ = rtc::MakeIceCredentials(random);
        const std::string offer = rtc::WriteOffer(ice_, certificate_->fingerprint(), gRandom());
        sendFrame(0x1, nlohmann::json{{"offer", offer}}.dump());
        return true;
    }

    int tcp() const { return tcp_; }
    int udp() const { return udp_; }
    Stage stage() const { return stage_; }

    // Reads what the WebSocket has; false once the server ended it.
    bool readSocket(milliseconds now)
    {
        for (;;) {
            size_t used = buffer_.size();
            buffer_.resize(used + kReadBytes);
            ssize_t got = ::recv(tcp_, buffer_.data() + used, kReadBytes, MSG_DONTWAIT);
            buffer_.resize(used + static_cast<size_t>(std::max<ssize_t>(got, 0)));
            if (got == 0)
                return false;
            if (got < 0)
                return errno == EAGAIN || errno == EWOULDBLOCK;
            size_t done = 0;
            if (!takeFrames(now, done))
                return false;
            buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<ptrdiff_t>(done));
        }
    }

    // Reads what the UDP socket has: check answers and DTLS.
    void readDatagrams(milliseconds now)
    {
        uint8_t datagram[2048];
        for (ssize_t got; (got = ::recv(udp_, datagram, sizeof datagram, MSG_DONTWAIT)) > 0;) {
            std::span<const uint8_t> bytes(datagram, static_cast<size_t>(got));
            if (rtc::LooksLikeStun(bytes)) {
                if (stage_ == Stage::Checking && rtc::ReadBindingSuccess(bytes, transaction_, answer_->ice.pwd)) {
                    stage_ = Stage::Handshaking;
                    link_->start(now);
                }
            } else if (link_) {
                link_->receiveDatagram(bytes, now);
            }
        }
        acknowledge();
    }

    // Checks until answered; the link's own resends and deadline.
    void onTimer(milliseconds now)
    {
        if (stage_ == Stage::Checking && now >= nextCheck_) {
            nextCheck_ = now + kCheckEvery;
            for (uint8_t& byte : transaction_)
                byte = static_cast<uint8_t>(gRandom());
            const auto check = rtc::WriteBindingRequest(transaction_, answer_->ice.ufrag + ":" + ice_.ufrag,
                                                        answer_->ice.pwd, 1845501695, true, gRandom());
            [[maybe_unused]] ssize_t sent = ::send(udp_, check.data(), check.size(), MSG_DONTWAIT);
        }
        if (link_)
            link_->onTimer(now);
        acknowledge(); // what the stack's timer read
        if (link_ && stage_ != Stage::Failed) {
            if (link_->state() == rtc::DataChannelLink::State::Open)
                stage_ = Stage::Open;
            else if (link_->state() != rtc::DataChannelLink::State::Handshaking)
                stage_ = Stage::Failed;
        }
    }

    // The links go before the stack they live in.
    void drop() { link_.reset(); }

private:
    static constexpr size_t kReadBytes = 64 * 1024;

    // Server frames are unmasked: 2 bytes, then 2 or 8 of length, then the payload.
    bool takeFrames(milliseconds now, size_t& at)
    {
        while (buffer_.size() - at >= 2) {
            uint64_t length = buffer_[at + 1] & 0x7F;
            size_t head = 2;
            if (length >= 126) {
                head = length == 126 ? 4 : 10;
                if (buffer_.size() - at < head)
                    break;
                length = 0;
                for (size_t i = 2; i < head; ++i)
                    length = (length << 8) | buffer_[at + i];
            }
            if (buffer_.size() - at - head < length)
                break;
            const uint8_t opcode = buffer_[at] & 0x0F;
            std::string_view payload(reinterpret_cast<const char*>(&buffer_[at + head]), length);
            if (opcode == 0x9) // a ping: the server drops a spectator that never answers
                sendFrame(0xA, payload);
            else if (opcode == 0x8)
                return false;
            else if (opcode == 0x1 && !takeAnswer(payload, now))
                stage_ = Stage::Failed;
            gCounts.socketFrames += gMeasuring && opcode == 0x2;
            at += head + length;
        }
        return true;
    }

    bool takeAnswer(std::string_view text, milliseconds now)
    {
        nlohmann::json reply = nlohmann::json::parse(text, nullptr, false);
        if (stage_ != Stage::Signalling || !reply.is_object() || !reply.contains("answer") || !reply["answer"].is_string())
            return false;
        answer_ = rtc::ReadAnswer(reply["answer"].get<std::string>());
        if (!answer_ || answer_->candidate.v6)
            return false;
        udp_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{AF_INET, 0, {}, {}};
        inet_pton(AF_INET, "127.0.0.1", &local.sin_addr);
        sockaddr_in server{AF_INET, htons(answer_->candidate.port), {}, {}};
        std::memcpy(&server.sin_addr, answer_->candidate.ip.data(), 4);
        if (udp_ < 0 || bind(udp_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
            connect(udp_, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0)
            return false;
        rtc::DataChannelLink::Callbacks callbacks{
            [this](std::span<const uint8_t> datagram) {
                [[maybe_unused]] ssize_t sent = ::send(udp_, datagram.data(), datagram.size(), MSG_DONTWAIT);
            },
            [this](std::span<const uint8_t> packet) { takeStates(packet); }};
        link_ = std::make_unique<rtc::DataChannelLink>(*rtc::SharedSctpStack(), certificate_, answer_->fingerprint,
                                                       rtc::DataChannelLink::Role::Client, std::move(callbacks), now);
        stage_ = Stage::Checking;
        nextCheck_ = now;
        return true;
    }

    // A packet of states from the channel: the newest is acknowledged on it once the
    // link has finished the call that brought it.
    void takeStates(std::span<const uint8_t> packet)
    {
        for (size_t pos = 0; auto message = NextMessage(packet, pos, WireVersion::V3);) {
            size_t at = 1;
            if (message->empty() || (*message)[0] != v3::kState)
                continue;
            if (auto number = compact::GetVarint(*message, at); number && (!newest_ || v3::Newer(*number, *newest_))) {
                newest_ = number;
                unacknowledged_ = true;
            }
            if (gMeasuring) {
                ++gCounts.states;
                gCounts.stateBytes += message->size();
            }
        }
    }

    void acknowledge()
    {
        if (!unacknowledged_ || !link_)
            return;
        unacknowledged_ = false;
        const Bytes ack = v3::StateAck(*newest_);
        Bytes reply;
        compact::PutVarint(reply, static_cast<uint32_t>(ack.size()));
        reply.insert(reply.end(), ack.begin(), ack.end());
        if (link_->send(reply) && gMeasuring)
            ++gCounts.acks;
    }

    // A client's frame is masked; a zero mask leaves the payload as it is.
    void sendFrame(uint8_t opcode, std::string_view payload)
    {
        std::vector<uint8_t> frame = {static_cast<uint8_t>(0x80 | opcode)};
        if (payload.size() < 126) {
            frame.push_back(static_cast<uint8_t>(0x80 | payload.size()));
        } else {
            frame.push_back(0x80 | 126);
            frame.push_back(static_cast<uint8_t>(payload.size() >> 8));
            frame.push_back(static_cast<uint8_t>(payload.size()));
        }
        frame.insert(frame.end(), 4, 0);
        frame.insert(frame.end(), payload.begin(), payload.end());
        [[maybe_unused]] ssize_t sent = ::send(tcp_, frame.data(), frame.size(), MSG_NOSIGNAL);
    }

    int tcp_ = -1, udp_ = -1;
    std::shared_ptr<const rtc::Certificate> certificate_;
    rtc::IceCredentials ice_;
    std::optional<rtc::Answer> answer_;
    std::unique_ptr<rtc::DataChannelLink> link_;
    rtc::TransactionId transaction_{};
    milliseconds nextCheck_{0};
    std::vector<uint8_t> buffer_;
    std::optional<uint32_t> newest_;
    bool unacknowledged_ = false;
    Stage stage_ = Stage::Signalling;
};

int Run(const Options& options)
{
    const auto certificate = rtc::Certificate::Generate();
    std::shared_ptr<rtc::SctpStack> sctp = rtc::SharedSctpStack();
    std::vector<Browser> crowd(static_cast<size_t>(options.browsers));
    const int epoll = epoll_create1(0);
    std::vector<bool> watched(crowd.size()); // whose UDP socket epoll has
    int connected = 0, lost = 0;
    std::vector<epoll_event> events(256);
    const auto start = Clock::now();
    auto clock = [&] { return std::chrono::duration_cast<milliseconds>(Clock::now() - start); };
    milliseconds nextTimer{0};

    // Everything ready within timeoutMs, then the timers when due.
    auto serviceAll = [&](int timeoutMs) {
        int ready = epoll_wait(epoll, events.data(), static_cast<int>(events.size()), timeoutMs);
        const milliseconds now = clock();
        for (int i = 0; i < ready; ++i) {
            const uint64_t tag = events[static_cast<size_t>(i)].data.u64;
            Browser& browser = crowd[tag >> 1];
            if (tag & 1) {
                browser.readDatagrams(now);
            } else if (!browser.readSocket(now)) {
                ++lost;
                epoll_ctl(epoll, EPOLL_CTL_DEL, browser.tcp(), nullptr);
            }
            if (browser.udp() >= 0 && !watched[tag >> 1]) {
                watched[tag >> 1] = true;
                epoll_event event{EPOLLIN, {.u64 = tag | 1}};
                epoll_ctl(epoll, EPOLL_CTL_ADD, browser.udp(), &event);
            }
        }
        if (now >= nextTimer) {
            nextTimer = now + kTimerEvery;
            sctp->onTimer(now);
            for (Browser& browser : crowd)
                browser.onTimer(now);
        }
    };
    auto count = [&](Browser::Stage stage) {
        return std::count_if(crowd.begin(), crowd.end(), [stage](const Browser& b) { return b.stage() == stage; });
    };
    auto untilTimer = [&] {
        return static_cast<int>(std::clamp<int64_t>((nextTimer - clock()).count(), 0, kTimerEvery.count()));
    };

    // Those already in keep being served while the rest connect.
    for (size_t i = 0; i < crowd.size(); ++i) {
        serviceAll(0);
        if (!crowd[i].open(options.port, certificate))
            continue;
        ++connected;
        epoll_event event{EPOLLIN, {.u64 = i << 1}};
        epoll_ctl(epoll, EPOLL_CTL_ADD, crowd[i].tcp(), &event);
    }
    const auto openBy = clock() + milliseconds(static_cast<int64_t>(options.openWithin * 1000));
    while (count(Browser::Stage::Open) + count(Browser::Stage::Failed) + (crowd.size() - connected) < crowd.size() &&
           clock() < openBy)
        serviceAll(untilTimer());
    std::printf("measuring after %.0f s warm-up, %d browsers connected, %ld channels open\n", options.warmup, connected,
                static_cast<long>(count(Browser::Stage::Open)));
    std::fflush(stdout);
    const auto measureFrom = clock() + milliseconds(static_cast<int64_t>(options.warmup * 1000));
    const auto end = measureFrom + milliseconds(static_cast<int64_t>(options.seconds * 1000));
    for (auto now = clock(); now < end; now = clock()) {
        gMeasuring = now >= measureFrom;
        serviceAll(untilTimer());
    }
    gMeasuring = false;
    const Counts& counts = gCounts;
    const long open = static_cast<long>(count(Browser::Stage::Open));
    std::printf("RESULT browsers=%d connected=%d channels_open=%ld channels_failed=%ld lost=%d states_per_s=%.0f "
                "state_bytes_per_s=%.0f acks_per_s=%.0f acks=%llu socket_frames_per_s=%.0f\n",
                options.browsers, connected, open, static_cast<long>(count(Browser::Stage::Failed)), lost,
                counts.states / options.seconds, counts.stateBytes / options.seconds, counts.acks / options.seconds,
                static_cast<unsigned long long>(counts.acks), counts.socketFrames / options.seconds);
    for (Browser& browser : crowd)
        browser.drop();
    return connected == options.browsers && open == options.browsers && lost == 0 ? 0 : 1;
}

} // namespace
} // namespace skirmish

int main(int argc, char** argv)
{
    using namespace skirmish;
    Options options;
    auto seconds = [](double& into, double least) {
        return [&into, least](std::string_view v) { return (into = ParseReal(v).value_or(-1)) >= least; };
    };
    std::vector<Flag> flags = {
        {"--port", true,
         [&](std::string_view v) { return (options.port = static_cast<uint16_t>(ParseWhole(v, 1, 65535).value_or(0))) != 0; }},
        {"--browsers", true,
         [&](std::string_view v) { return (options.browsers = static_cast<int>(ParseWhole(v, 1, 10000).value_or(0))) != 0; }},
        {"--seconds", true, seconds(options.seconds, 1)},
        {"--warmup", true, seconds(options.warmup, 0)},
        {"--open-within", true, seconds(options.openWithin, 1)},
    };
    std::string error = ParseFlags(argc, argv, flags);
    if (!error.empty()) {
        std::cerr << "browser-crowd: " << error
                  << "\nusage: browser-crowd [--port N] [--browsers N] [--seconds S] [--warmup S] [--open-within S]\n";
        return 2;
    }
    return Run(options);
}

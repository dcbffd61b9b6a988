// under-attack: what two honest players and the game page see while one address
// attacks an already-started server. The honest ENet and WebSocket players (from
// 127.0.0.1) each send "Move" every 50 ms and a chat line every 250 ms; the page is
// fetched with GET / four times a second. The attacker comes from 127.0.0.2, so a
// server that judges by address can tell the two apart. In "subnets" the attack comes
// from 64 addresses in 8 other /24 subnets, each holding as many slow connections as
// one address may: every web slot is taken, and the page must still come within 1 s.
//
// Then "loud" (no bots needed), one more ENet player sending 1,000 chat lines of 255
// bytes a second (most are dropped past its budget; those relayed must come in order),
// where the honest players' received bytes a second are the figure
// (and a third honest player, a browser reading at most 1 Mbit/s, must not be
// dropped), and "vanish", a crowd of ENet spectators (--crowd N; players with
// --crowd-players, browsers with --crowd-websockets) that reads from the start and
// vanishes at once 5 s into the window (its sockets stay open, never read again), as a
// machine that drops off would (this one needs a busy server: --bots 100, say).
//
// Moves are answered in order, so each "Moved" for us settles the oldest Move in
// flight. Moves sent in the measured window that are still unanswered 2 s after it
// count as missing. A GET / not answered with a 200 within 2 s counts as failed and
// enters the percentiles at 2,000 ms.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <deque>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/flags.h"
#include "net/client/client.h"
#include "protocol/messages.h"
#include "protocol/names.h"
#include "tools/histogram.h"

namespace skirmish {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kHonestAddress = "127.0.0.1";
constexpr const char* kAttackerAddress = "127.0.0.2";
constexpr auto kGrace = 2s;        // after the window, for answers still on their way
constexpr auto kPageLimit = 2s;    // a GET / slower than this failed
constexpr auto kPageEvery = 250ms;
constexpr int kSlowConnections = 200;
constexpr int kSlowEachOfMany = 8;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Options {
    uint16_t port = 23987;
    double seconds = 20;
    double warmup = 5;
    std::string attack = "none";
    int crowd = 256;
    Role crowdRole = Role::Spectator;
    bool crowdOnWebSockets = false;
};

constexpr const char* kLoudMark = "loud:";

// An honest player: named, and once alive it moves and chats at a steady pace.
struct Player {
    NetClient client;
    std::string name;
    int32_t id = 0;
    bool alive = false;
    int moveCount = 0;
    Clock::time_point nextMove, nextChat;
    std::deque<std::pair<Clock::time_point, bool>> inFlight; // sent at, sent in the window
    LatencyHistogram echo;
    uint64_t measuredMoves = 0;
    uint64_t loudLines = 0, loudOutOfOrder = 0;
    long lastLoud = -1;
    uint64_t bytesAtStart = 0, bytesAtEnd = 0;

    void step(bool sending, bool measuring)
    {
        auto now = Clock::now();
        if (alive && sending && now >= nextMove) {
            nextMove = std::max(nextMove + 50ms, now);
            float d = ++moveCount % 2 ? 2.0f : -2.0f; // back and forth, so it stays where it came to life
            client.send(command::Move(d, d));
            inFlight.emplace_back(now, measuring);
            measuredMoves += measuring;
        }
        if (alive && sending && now >= nextChat) {
            nextChat = std::max(nextChat + 250ms, now);
            client.send(command::PlayerMessage("still here, " + name));
        }
        client.service(0);
        auto at = Clock::now();
        while (client.nextMessage()) {
            std::string word = client.getString(31);
            if (word == names::kJoined) {
                int32_t who = client.getInt();
                if (client.getString() == name)
                    id = who;
            } else if (word == names::kAlive && id != 0 && client.getInt() == id && !alive) {
                alive = true; // the respawn's own "Moved" came before this, so it is not an echo
                nextMove = nextChat = at;
            } else if (word == names::kPlayerMessage) {
                client.getInt();
                std::string text = client.getString();
                if (text.starts_with(kLoudMark)) {
                    long seq = std::strtol(text.c_str() + 5, nullptr, 10);
                    // Lines past the loud client's budget are dropped on arrival (skipped), never reordered.
                    loudOutOfOrder += seq <= lastLoud;
                    lastLoud = seq;
                    ++loudLines;
                }
            } else if (word == names::kMoved && alive && client.getInt() == id && !inFlight.empty()) {
                if (inFlight.front().second)
                    echo.record(Ms(at - inFlight.front().first));
                inFlight.pop_front();
            }
        }
    }

    auto missing() const { return std::count_if(inFlight.begin(), inFlight.end(), [](auto& m) { return m.second; }); }
};

// A non-blocking TCP socket from the given address on its way to the server; -1 when that failed at once.
int Open(const char* from, uint16_t port)
{
    auto address = [](const char* host, uint16_t p) {
        sockaddr_in a{AF_INET, htons(p), {}, {}};
        inet_pton(AF_INET, host, &a.sin_addr);
        return a;
    };
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in source = address(from, 0), server = address(kHonestAddress, port);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0 ||
        (connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0 && errno != EINPROGRESS)) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

bool WaitFor(int fd, short events, Clock::time_point deadline)
{
    pollfd p{fd, events, 0};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 && poll(&p, 1, static_cast<int>(left)) == 1;
}

bool Connected(int fd, Clock::time_point deadline)
{
    int error = 0;
    socklen_t size = sizeof error;
    return WaitFor(fd, POLLOUT, deadline) && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

// Reads into text until it holds a whole HTTP head and the body its Content-Length announces (or the server closes).
bool ReadResponse(int fd, std::string& text, Clock::time_point deadline, bool headOnly)
{
    char buffer[16384];
    for (;;) {
        size_t head = text.find("\r\n\r\n");
        if (head != std::string::npos) {
            if (headOnly)
                return true;
            size_t length = text.find("Content-Length: ");
            if (length != std::string::npos && length < head &&
                text.size() >= head + 4 + std::stoul(text.substr(length + 16)))
                return true;
        }
        if (!WaitFor(fd, POLLIN, deadline))
            return false;
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return n == 0 && head != std::string::npos;
        text.append(buffer, static_cast<size_t>(n));
    }
}

// One GET / from the honest address: milliseconds to the whole page, or nothing.
std::optional<double> FetchPage(uint16_t port)
{
    auto start = Clock::now(), deadline = start + kPageLimit;
    int fd = Open(kHonestAddress, port);
    if (fd < 0)
        return std::nullopt;
    const std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    std::string response;
    bool ok = Connected(fd, deadline) && send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size()) &&
              ReadResponse(fd, response, deadline, false) && response.starts_with("HTTP/1.1 200");
    close(fd);
    return ok ? std::optional<double>(Ms(Clock::now() - start)) : std::nullopt;
}

// The addresses of (a): the attacker's alone; or of (f): 64 addresses in 8 other /24
// subnets than the honest one, 127.1.0.2 to 127.8.0.9.
std::vector<std::string> SlowAddresses(const std::string& attack)
{
    if (attack != "subnets")
        return {kAttackerAddress};
    std::vector<std::string> addresses;
    for (int subnet = 1; subnet <= 8; ++subnet)
        for (int host = 2; host <= 9; ++host)
            addresses.push_back("127." + std::to_string(subnet) + ".0." + std::to_string(host));
    return addresses;
}

// (a) kSlowConnections connections from the attacker, or (f) as many from each of 64
// addresses as one address may hold (more than every slot there is): each sends one
// byte of an endless request head per second.
void SlowHeads(uint16_t port, const std::vector<std::string>& from, int each, const std::atomic<bool>& stop,
               uint64_t& opened)
{
    const std::string head = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Padding: ";
    struct Slot { int fd = -1; size_t sent = 0; Clock::time_point next; const char* from; };
    std::vector<Slot> slots(from.size() * static_cast<size_t>(each));
    for (size_t i = 0; i < slots.size(); ++i) {
        slots[i].next = Clock::now() + static_cast<int>(i * 1000 / slots.size()) * 1ms; // spread over the second
        slots[i].from = from[i % from.size()].c_str();
    }
    auto drop = [](Slot& s) { close(s.fd); s.fd = -1; }; // opened again at its next second
    while (!stop) {
        for (auto& s : slots) {
            if (Clock::now() < s.next)
                continue;
            s.next += 1s;
            if (s.fd < 0 && (s.fd = Open(s.from, port)) >= 0) {
                s.sent = 0;
                ++opened;
            }
            char byte = s.sent < head.size() ? head[s.sent] : 'x';
            if (s.fd >= 0 && send(s.fd, &byte, 1, MSG_NOSIGNAL) == 1)
                ++s.sent;
            else if (s.fd >= 0 && errno != EAGAIN)
                drop(s);
        }
        std::this_thread::sleep_for(10ms);
        for (auto& s : slots) {
            char buffer[4096];
            ssize_t n = s.fd >= 0 ? recv(s.fd, buffer, sizeof buffer, MSG_DONTWAIT) : -1;
            if (s.fd >= 0 && (n == 0 || (n < 0 && errno != EAGAIN)))
                drop(s);
        }
    }
    for (auto& s : slots)
        if (s.fd >= 0)
            close(s.fd);
}

// A WebSocket at /ws (from the attacker's address unless told): writes masked binary frames and discards what it hears.
struct RawWebSocket {
    int fd = -1;
    std::string out;
    size_t written = 0;

    bool connect(uint16_t port, const char* from = kAttackerAddress)
    {
        auto deadline = Clock::now() + 3s;
        fd = Open(from, port);
        const std::string upgrade = "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
        std::string answer;
        return fd >= 0 && Connected(fd, deadline) && send(fd, upgrade.data(), upgrade.size(), MSG_NOSIGNAL) > 0 &&
               ReadResponse(fd, answer, deadline, true) && answer.starts_with("HTTP/1.1 101");
    }

    size_t backlog() const { return out.size() - written; }

    // An empty ping, as a browser's own keep-alive would be: the server hears from us.
    void queuePing() { out += std::string{'\x89', '\x80', '\x3a', '\x91', '\x5c', '\xe7'}; }

    void queue(const std::vector<uint8_t>& payload)
    {
        const uint8_t key[4] = {0x3a, 0x91, 0x5c, 0xe7};
        const size_t n = payload.size();
        // A final binary frame, masked as from a client, its length in the fewest bytes.
        out += {'\x82', static_cast<char>(0x80 | (n < 126 ? n : n <= 0xFFFF ? 126 : 127))};
        for (int shift = n < 126 ? -1 : n <= 0xFFFF ? 8 : 56; shift >= 0; shift -= 8)
            out += static_cast<char>(n >> shift);
        out.append(reinterpret_cast<const char*>(key), 4);
        for (size_t i = 0; i < n; ++i)
            out += static_cast<char>(payload[i] ^ key[i % 4]);
    }

    // Writes what the socket takes and reads what is there; false once the server has closed.
    bool pump(int timeoutMs)
    {
        pollfd p{fd, static_cast<short>(POLLIN | (backlog() ? POLLOUT : 0)), 0};
        poll(&p, 1, timeoutMs);
        char buffer[65536];
        ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN))
            return false;
        n = backlog() ? send(fd, out.data() + written, backlog(), MSG_NOSIGNAL | MSG_DONTWAIT) : 0;
        if (n < 0 && errno != EAGAIN)
            return false;
        written += static_cast<size_t>(std::max<ssize_t>(n, 0));
        if (written == out.size())
            out.clear(), written = 0;
        return true;
    }
};

// A packet of messages, each the given bytes behind its 16-bit length.
std::vector<uint8_t> Packet(const std::vector<uint8_t>& message, size_t count)
{
    std::vector<uint8_t> packet;
    packet.reserve(count * (message.size() + 2));
    for (size_t i = 0; i < count; ++i) {
        packet.push_back(static_cast<uint8_t>(message.size()));
        packet.push_back(static_cast<uint8_t>(message.size() >> 8));
        packet.insert(packet.end(), message.begin(), message.end());
    }
    return packet;
}

// (b) 1,000 frames a second of unknown commands, or (c) 2 MiB of empty messages at the window's start.
std::string WebSocketAttack(const Options& o, Clock::time_point windowStart, const std::atomic<bool>& stop)
{
    RawWebSocket ws;
    if (!ws.connect(o.port))
        return "attack=refused";
    const bool flood = o.attack == "flood";
    const auto junk = Packet(MessageWriter().putString("Junk").bytes(), 40);
    const auto empty = Packet({}, 32768); // 65,536 bytes: the largest frame allowed
    uint64_t frames = 0, due = 0;
    bool open = true, burstSent = false;
    for (auto start = Clock::now(); open && !stop;) {
        auto now = Clock::now();
        for (; flood && due < static_cast<uint64_t>(Ms(now - start)); ++due)
            if (ws.backlog() < 256 * 1024) { // what a kernel send buffer would hold back
                ws.queue(junk);
                ++frames;
            }
        for (int i = 0; !flood && !burstSent && now >= windowStart && i < 32; ++i, ++frames)
            ws.queue(empty);
        burstSent |= !flood && now >= windowStart;
        open = ws.pump(1);
    }
    close(ws.fd);
    return "attack_frames=" + std::to_string(frames) + " attack_closed=" + (open ? "0" : "1");
}

// Beside the loud client: an honest browser that reads at most 1 Mbit/s, with a small
// receive buffer, as a phone on a poor link would. It must never be dropped.
std::string SlowReader(const Options& o, const std::atomic<bool>& stop)
{
    constexpr size_t kBytesPerTick = 1250; // every 10 ms: 125,000 bytes a second
    RawWebSocket ws;
    if (!ws.connect(o.port, kHonestAddress))
        return " reader=refused";
    int small = 64 * 1024;
    setsockopt(ws.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ws.queue(Packet(command::Name("reader").bytes(), 1));
    uint64_t read = 0, ticks = 0;
    bool open = true;
    for (auto next = Clock::now(); open && !stop; next += 10ms) {
        std::this_thread::sleep_until(next);
        if (++ticks % 100 == 0)
            ws.queuePing();
        char buffer[kBytesPerTick];
        ssize_t n = recv(ws.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        open = n > 0 || (n < 0 && errno == EAGAIN);
        read += static_cast<uint64_t>(std::max<ssize_t>(n, 0));
        if (open && ws.backlog())
            ws.pump(0);
    }
    close(ws.fd);
    return " reader_bytes=" + std::to_string(read) + " reader_dropped=" + (open ? "0" : "1");
}

// (d) One more player chatting 1,000 lines of 255 bytes a second, each numbered.
std::string LoudClient(const Options& o, const std::atomic<bool>& stop)
{
    std::string readerReport;
    std::thread reader([&] { readerReport = SlowReader(o, stop); });
    NetClient loud;
    const bool connected = loud.connect(kHonestAddress, o.port, 3000);
    if (connected)
        loud.send(command::Name("loud"));
    uint64_t sent = 0;
    for (auto start = Clock::now(); !stop; std::this_thread::sleep_for(1ms)) {
        for (; connected && sent < static_cast<uint64_t>(Ms(Clock::now() - start)); ++sent) {
            std::string line = kLoudMark + std::to_string(sent) + ":";
            line.resize(255, 'x');
            loud.send(command::PlayerMessage(line));
        }
        loud.service(0);
        while (loud.nextMessage()) {
        }
    }
    reader.join();
    if (!connected)
        return "attack=refused" + readerReport;
    return "attack_lines=" + std::to_string(sent) + " attack_lost=" + (loud.lostConnection() ? "1" : "0") + readerReport;
}

// (e) A crowd of ENet spectators (or players) that read until 5 s into the window, then vanish at
// once: never serviced again, their sockets left open until the end.
std::string VanishingCrowd(const Options& o, Clock::time_point windowStart, const std::atomic<bool>& stop)
{
    std::vector<std::unique_ptr<NetClient>> crowd;
    int connected = 0;
    for (int i = 0; i < o.crowd; ++i) {
        crowd.push_back(std::make_unique<NetClient>());
        NetClient& member = *crowd.back();
        connected += o.crowdOnWebSockets ? member.connectWebSocket(kHonestAddress, o.port, 3000, o.crowdRole)
                                         : member.connect(kHonestAddress, o.port, 3000, 1, o.crowdRole);
    }
    for (const auto vanish = windowStart + 5s; !stop && Clock::now() < vanish; std::this_thread::sleep_for(1ms))
        for (auto& spectator : crowd) {
            spectator->service(0);
            while (spectator->nextMessage()) {
            }
        }
    while (!stop)
        std::this_thread::sleep_for(10ms);
    int lostBeforeVanishing = 0;
    for (auto& spectator : crowd)
        lostBeforeVanishing += spectator->lostConnection();
    return "crowd=" + std::to_string(o.crowd) + " crowd_connected=" + std::to_string(connected) +
           " crowd_lost_before=" + std::to_string(lostBeforeVanishing);
}

bool ParseOptions(int argc, char** argv, Options& o)
{
    auto real = [](double& into, double least) {
        return [&into, least](std::string_view v) { return (into = ParseReal(v).value_or(-1)) >= least; };
    };
    const Flag flags[] = {
        {"--port", true, [&](std::string_view v) { return (o.port = static_cast<uint16_t>(ParseWhole(v, 1, 65535).value_or(0))) != 0; }},
        {"--seconds", true, real(o.seconds, 1)},
        {"--warmup", true, real(o.warmup, 0)},
        {"--case", true, [&](std::string_view v) {
             o.attack = v;
             return v == "none" || v == "slow" || v == "subnets" || v == "flood" || v == "empty" || v == "loud" ||
                    v == "vanish";
         }},
        {"--crowd", true, [&](std::string_view v) { return (o.crowd = static_cast<int>(ParseWhole(v, 1, 4000).value_or(0))) != 0; }},
        {"--crowd-players", false, [&](std::string_view) { return o.crowdRole = Role::Player, true; }},
        {"--crowd-websockets", false, [&](std::string_view) { return o.crowdOnWebSockets = true; }},
    };
    std::string error = ParseFlags(argc, argv, flags);
    if (!error.empty())
        std::cerr << "under-attack: " << error
                  << "\nusage: under-attack [--port P] [--seconds N] [--warmup N] [--crowd N] [--crowd-players] [--crowd-websockets] --case none|slow|subnets|flood|empty|loud|vanish\n";
    return error.empty();
}

} // namespace
} // namespace skirmish

int main(int argc, char** argv)
{
    using namespace skirmish;
    Options o;
    if (!ParseOptions(argc, argv, o))
        return 2;
    Player enet, web;
    enet.name = "honest-enet";
    web.name = "honest-ws";
    if (!enet.client.connect(kHonestAddress, o.port, 3000) || !web.client.connectWebSocket(kHonestAddress, o.port, 3000)) {
        std::cerr << "under-attack: cannot reach the server on port " << o.port << "\n";
        return 2;
    }
    for (Player* p : {&enet, &web})
        p->client.send(command::Name(p->name));
    for (auto deadline = Clock::now() + 10s; !(enet.alive && web.alive); std::this_thread::sleep_for(1ms)) {
        if (Clock::now() > deadline) {
            std::cerr << "under-attack: the honest players were not brought to life within 10 s\n";
            return 2;
        }
        enet.step(false, false);
        web.step(false, false);
    }

    const auto windowStart = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.warmup));
    const auto windowEnd = windowStart + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.seconds));
    std::atomic<bool> stop = false;
    std::string attackReport = "attack=none";
    std::thread attacker([&] {
        uint64_t opened = 0;
        if (o.attack == "slow" || o.attack == "subnets") {
            SlowHeads(o.port, SlowAddresses(o.attack), o.attack == "slow" ? kSlowConnections : kSlowEachOfMany, stop, opened);
            attackReport = "attack_opened=" + std::to_string(opened);
        }
        else if (o.attack == "loud")
            attackReport = LoudClient(o, stop);
        else if (o.attack == "vanish")
            attackReport = VanishingCrowd(o, windowStart, stop);
        else if (o.attack != "none")
            attackReport = WebSocketAttack(o, windowStart, stop);
    });
    LatencyHistogram page;
    int tries = 0, answered = 0;
    std::thread prober([&] {
        for (auto next = windowStart; next < windowEnd; next = std::max(next + kPageEvery, Clock::now())) {
            std::this_thread::sleep_until(next);
            auto ms = FetchPage(o.port);
            ++tries;
            answered += ms.has_value();
            page.record(ms.value_or(Ms(kPageLimit)));
        }
    });

    bool announced = false;
    for (auto now = Clock::now(); now < windowEnd + kGrace; now = Clock::now()) {
        if (!announced && now >= windowStart) {
            std::printf("measuring for %.0f s\n", o.seconds);
            std::fflush(stdout);
            announced = true;
        }
        const bool measuring = now >= windowStart && now < windowEnd;
        for (Player* p : {&enet, &web}) {
            if (now < windowStart)
                p->bytesAtStart = p->client.bytesReceived();
            else if (!measuring && p->bytesAtEnd == 0)
                p->bytesAtEnd = p->client.bytesReceived();
        }
        enet.step(now < windowEnd, measuring);
        web.step(now < windowEnd, measuring);
        if (now >= windowEnd && enet.missing() == 0 && web.missing() == 0)
            break;
        std::this_thread::sleep_for(1ms);
    }
    stop = true;
    attacker.join();
    prober.join();

    std::printf("RESULT case=%s", o.attack.c_str());
    for (auto [label, p] : {std::pair{"enet", &enet}, std::pair{"ws", &web}})
        std::printf(" %s_p50=%.2f %s_p99=%.2f %s_max=%.2f %s_moves=%llu %s_missing=%llu %s_lost=%d", label,
                    p->echo.percentile(50), label, p->echo.percentile(99), label, p->echo.max(), label,
                    static_cast<unsigned long long>(p->measuredMoves), label,
                    static_cast<unsigned long long>(p->missing()), label, p->client.lostConnection() ? 1 : 0);
    for (auto [label, p] : {std::pair{"enet", &enet}, std::pair{"ws", &web}})
        std::printf(" %s_kBps=%.1f %s_loud_lines=%llu %s_loud_out_of_order=%llu", label,
                    (p->bytesAtEnd - p->bytesAtStart) / 1000.0 / o.seconds, label,
                    static_cast<unsigned long long>(p->loudLines), label,
                    static_cast<unsigned long long>(p->loudOutOfOrder));
    std::printf(" get_p50=%.2f get_p99=%.2f get_ok=%d/%d %s\n", page.percentile(50), page.percentile(99), answered,
                tries, attackReport.c_str());
    return 0;
}

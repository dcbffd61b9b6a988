// The Agones SDK's REST contract as the server keeps it: which calls, in what order and
// how often (on a fake clock), and that a sidecar absent or silent never holds the server.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

#include "app/startup.h"
#include "net/memory/memory_transport.h"
#include "net/ops/agones.h"
#include "within.h"

namespace skirmish {
namespace {

using ::testing::AllOf, ::testing::ElementsAre, ::testing::ElementsAreArray, ::testing::Ge, ::testing::Le;

// A call as the sidecar takes it: "ready", "health" or "shutdown" (POST with {}), or
// a label, "players=3" (PUT with a key and a value); empty when it breaks the contract.
std::string Understood(const HttpCall& call)
{
    static const std::regex kLabel(R"re(\{"key":"(\w+)","value":"(\w*)"\})re");
    std::smatch label;
    if (call.method == "PUT" && call.target == "/metadata/label" && std::regex_match(call.body, label, kLabel))
        return label[1].str() + "=" + label[2].str();
    bool lifecycle = call.target == "/ready" || call.target == "/health" || call.target == "/shutdown";
    return call.method == "POST" && call.body == "{}" && lifecycle ? call.target.substr(1) : "";
}

// At a time, the match is hosting, beats (with new counts when given), stops, or the sidecar goes down or up.
struct Event { int64_t at; enum { Host, Beat, Stop, SidecarDown, SidecarUp } what; FleetCounts counts = {}; };

// Runs the schedule in 100 ms steps to 10 s, beating every 500 ms from beatFrom to
// beatUntil; returns each call as "ms ready" ("ms !ready" when the sidecar refused it).
std::vector<std::string> Play(std::vector<Event> events, int64_t beatFrom, int64_t beatUntil)
{
    for (int64_t at = beatFrom; at < beatUntil; at += 500)
        events.push_back({at, Event::Beat});
    std::stable_sort(events.begin(), events.end(), [](auto& a, auto& b) { return a.at < b.at; });
    AgonesSchedule schedule;
    bool up = true;
    FleetCounts counts;
    std::vector<std::string> calls;
    auto event = events.begin();
    for (int64_t now = 0; now <= 10000 && !schedule.finished(now); now += 100) {
        for (; event != events.end() && event->at <= now; ++event) {
            counts = event->counts == FleetCounts{} ? counts : event->counts;
            event->what == Event::Host   ? schedule.hosting()
            : event->what == Event::Beat ? void(schedule.beat(counts))
            : event->what == Event::Stop ? schedule.stopping(now)
                                         : void(up = event->what == Event::SidecarUp);
        }
        EXPECT_THAT(schedule.msUntilDue(now).value_or(0), AllOf(Ge(0), Le(AgonesSchedule::kHealthEveryMs)));
        while (std::optional<HttpCall> call = schedule.next(now)) {
            std::string understood = Understood(*call);
            bool accepted = up && !understood.empty();
            calls.push_back(std::to_string(now) + (accepted ? " " : " !") + understood);
            schedule.done(now, *call, accepted);
        }
    }
    return calls;
}

TEST(AgonesContract, calls_go_in_order_at_their_cadence_and_retries_are_bounded)
{
    struct Case {
        const char* name;
        std::vector<Event> events;
        int64_t beatFrom, beatUntil;
        std::vector<std::string> expected;
    } cases[] = {
        {"ready, labels, then health every 2 s while the loop beats; shutdown last",
         {{0, Event::Host}, {5000, Event::Stop}}, 0, 5000,
         {"0 ready", "0 players=0", "0 spectators=0", "0 health", "2000 health", "4000 health", "5000 shutdown"}},
        {"a stalled loop stops the health pings",
         {{0, Event::Host}, {7000, Event::Stop}}, 0, 1000,
         {"0 ready", "0 players=0", "0 spectators=0", "0 health", "2000 health", "7000 shutdown"}},
        {"nothing before hosting; the counts labelled as they change",
         {{1000, Event::Host}, {1500, Event::Beat, {3, 1}}, {2600, Event::Beat, {4, 1}}, {3000, Event::Stop}}, 0, 3000,
         {"1000 ready", "1000 players=0", "1000 spectators=0", "1000 health", "1500 players=3", "1500 spectators=1",
          "2600 players=4", "3000 shutdown"}},
        {"ready retried each second until the sidecar is up; shutdown tried twice at most",
         {{0, Event::SidecarDown}, {0, Event::Host}, {2500, Event::SidecarUp}, {4000, Event::SidecarDown},
          {4000, Event::Stop}}, 0, 0,
         {"0 !ready", "1000 !ready", "2000 !ready", "3000 ready", "3000 players=0", "3000 spectators=0",
          "4000 !shutdown", "5000 !shutdown"}},
        {"a stop waits for no retry of ready", {{0, Event::SidecarDown}, {0, Event::Host}, {500, Event::Stop}}, 0, 0,
         {"0 !ready", "500 !shutdown", "1500 !shutdown"}},
    };
    for (const Case& c : cases)
        EXPECT_THAT(Play(c.events, c.beatFrom, c.beatUntil), ElementsAreArray(c.expected)) << c.name;
}

// On a loopback port: 200 {} to calls that keep the contract, 400 to others; silent: never a word.
class FakeSidecar {
public:
    // holdShutdown: shutdown is answered once it is ready, not before.
    explicit FakeSidecar(bool silent, std::shared_future<void> holdShutdown = {}) : hold_(std::move(holdShutdown))
    {
        sockaddr_in address{.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
        socklen_t length = sizeof address;
        bind(fd_, reinterpret_cast<sockaddr*>(&address), length);
        listen(fd_, 64);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        if (!silent)
            thread_ = std::jthread([this](std::stop_token stop) {
                for (pollfd wait{fd_, POLLIN, 0}; !stop.stop_requested();)
                    if (poll(&wait, 1, 20) > 0)
                        answer(accept(fd_, nullptr, nullptr));
            });
    }
    ~FakeSidecar() { thread_ = {}, close(fd_); } // stopped and joined first
    std::vector<std::string> calls()
    {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    int fd() const { return fd_; }
    uint16_t port = 0;

private:
    void answer(int client)
    {
        std::string request;
        char buffer[4096];
        for (ssize_t got; !request.ends_with("}") && (got = read(client, buffer, sizeof buffer)) > 0;)
            request.append(buffer, static_cast<size_t>(got));
        std::smatch parts;
        std::regex_search(request, parts, std::regex(R"re(^(\w+) (\S+) HTTP/1.1\r\n[\s\S]*?\r\n\r\n([\s\S]*)$)re"));
        std::string understood = Understood({parts[1].str(), parts[2].str(), parts[3].str()});
        char next;
        if (understood == "shutdown" && hold_.valid() && (hold_.wait(), recv(client, &next, 1, MSG_PEEK | MSG_DONTWAIT) == 0))
            understood += " abandoned"; // the caller gave up on it first
        std::string reply =
            understood.empty() ? "HTTP/1.1 400 No\r\n\r\n" : "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}";
        // Noted before the answer: once the caller has it, the call is in calls().
        std::lock_guard lock(mutex_);
        calls_.push_back(understood.empty() ? "broken: " + request : understood);
        [[maybe_unused]] ssize_t sent = write(client, reply.data(), reply.size());
        close(client);
    }
    int fd_ = socket(AF_INET, SOCK_STREAM, 0);
    std::mutex mutex_;
    std::vector<std::string> calls_;
    std::shared_future<void> hold_;
    std::jthread thread_;
};

TEST(AgonesLinkOnLoopback, tells_the_sidecar_in_order_and_shuts_down_last)
{
    FakeSidecar sidecar(false);
    AgonesLink link(sidecar.port, {.callTimeout = std::chrono::milliseconds(2000), .retryMs = 50});
    link.hosting();
    link.beat({.players = 2, .spectators = 1});
    ASSERT_TRUE(testing::Within(10000, [&] { return sidecar.calls().size() >= 4; }));
    link.stop();
    EXPECT_THAT(sidecar.calls(), ElementsAre("ready", "players=2", "spectators=1", "health", "shutdown"));
}

TEST(AgonesLinkOnLoopback, a_silent_sidecar_holds_neither_the_loop_nor_the_exit)
{
    FakeSidecar sidecar(true);
    auto stopped = std::async(std::launch::async, [&] {
        AgonesLink link(sidecar.port, {.callTimeout = std::chrono::milliseconds(100), .retryMs = 50});
        link.hosting();
        for (int pass = 0; pass < 1000; ++pass)
            link.beat({.players = pass % 3, .spectators = 0});
    });
    EXPECT_EQ(stopped.wait_for(std::chrono::seconds(20)), std::future_status::ready);
}

// A 1 GiB body sent with the header was once read through, and aborted the server.
TEST(CallHttpOnLoopback, an_answer_past_the_limits_counts_as_none_and_is_not_read_through)
{
    FakeSidecar peer(true);
    std::future<size_t> sent = std::async(std::launch::async, [&] {
        int client = accept(peer.fd(), nullptr, nullptr);
        std::string bytes = "HTTP/1.1 200 OK\r\nContent-Length: 1073741824\r\n\r\n";
        size_t total = 0;
        for (ssize_t got = 1; total < (128u << 20) && got > 0; total += static_cast<size_t>(got), bytes.assign(1 << 20, 'x'))
            got = send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        return close(client), total;
    });
    EXPECT_EQ(CallHttp("127.0.0.1", peer.port, {"POST", "/ready", "{}"}, std::chrono::hours(1)).status, 0);
    EXPECT_LT(sent.get(), 32u << 20);
}

// Shutdown once went first, holding "ServerQuit" for up to 4 s.
TEST(AgonesLinkOnLoopback, clients_hear_server_quit_before_the_sidecar_is_waited_for)
{
    std::promise<void> told;
    FakeSidecar sidecar(false, told.get_future().share());
    NetUseTransport(std::make_unique<MemoryTransport>());
    std::istringstream in("stop\n");
    ServerOptions options;
    options.answers = {4, 10, 10, 2, 1};
    options.web = options.recording.enabled = false;
    options.agonesPort = sidecar.port;
    ServerEnvironment environment{.in = in, .options = options, .pause = {},
                                  .farewell = [&] { SayServerQuit(), told.set_value(); }};
    EXPECT_EQ(RunServer(environment), 0);
    NetUseTransport(nullptr);
    EXPECT_THAT(sidecar.calls(), ::testing::Contains("shutdown"));
}

} // namespace
} // namespace skirmish

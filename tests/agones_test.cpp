// The Agones SDK's REST contract as the server keeps it: which calls, in what order and
// how often (on a fake clock), and that a sidecar absent or silent never holds the server.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/ops/agones.h"
#include "within.h"

namespace skirmish {
namespace {

using ::testing::ElementsAreArray;

// What the sidecar accepts: the lifecycle calls with {}, and labels as a key and a value.
bool FollowsContract(const HttpCall& call)
{
    bool lifecycle = call.method == "POST" && call.body == "{}" &&
                     (call.target == "/ready" || call.target == "/health" || call.target == "/shutdown");
    bool label = call.method == "PUT" && call.target == "/metadata/label" &&
                 call.body.starts_with("{\"key\":\"") && call.body.find("\",\"value\":\"") != std::string::npos;
    return lifecycle || label;
}

struct Event {
    int64_t at;
    enum { Host, Beat, Stop, SidecarDown, SidecarUp } what;
    FleetCounts counts = {};
};

// Runs the schedule in 100 ms steps to endMs, beating every 500 ms from beatFrom to
// beatUntil; returns each call as "ms METHOD target body" ("!" when refused).
std::vector<std::string> Play(std::vector<Event> events, int64_t beatFrom, int64_t beatUntil, int64_t endMs)
{
    for (int64_t at = beatFrom; at < beatUntil; at += 500)
        events.push_back({at, Event::Beat});
    std::stable_sort(events.begin(), events.end(), [](auto& a, auto& b) { return a.at < b.at; });
    AgonesSchedule schedule;
    bool up = true;
    FleetCounts counts;
    std::vector<std::string> calls;
    auto event = events.begin();
    for (int64_t now = 0; now <= endMs && !schedule.finished(); now += 100) {
        for (; event != events.end() && event->at <= now; ++event) {
            if (event->what == Event::Beat && event->counts != FleetCounts{})
                counts = event->counts;
            event->what == Event::Host   ? schedule.hosting()
            : event->what == Event::Beat ? void(schedule.beat(counts))
            : event->what == Event::Stop ? schedule.stopping()
                                         : void(up = event->what == Event::SidecarUp);
        }
        EXPECT_LE(schedule.msUntilDue(now).value_or(0), AgonesSchedule::kHealthEveryMs);
        while (std::optional<HttpCall> call = schedule.next(now)) {
            bool accepted = up && FollowsContract(*call);
            calls.push_back(std::to_string(now) + (accepted ? " " : " !") + call->method + " " + call->target + " " +
                            call->body);
            schedule.done(now, *call, accepted);
        }
    }
    return calls;
}

const std::string kReady = " POST /ready {}", kHealth = " POST /health {}", kShutdown = " POST /shutdown {}";
std::string Label(const char* key, int value)
{
    return std::string(" PUT /metadata/label {\"key\":\"") + key + "\",\"value\":\"" + std::to_string(value) + "\"}";
}

TEST(AgonesContract, CallsTheirOrderAndCadence)
{
    struct Case {
        const char* name;
        std::vector<Event> events;
        int64_t beatFrom, beatUntil;
        std::vector<std::string> expected;
    } cases[] = {
        {"ready, labels, then health every 2 s while the loop beats; shutdown last",
         {{0, Event::Host}, {5000, Event::Stop}}, 0, 5000,
         {"0" + kReady, "0" + Label("players", 0), "0" + Label("spectators", 0), "0" + kHealth, "2000" + kHealth,
          "4000" + kHealth, "5000" + kShutdown}},
        {"a stalled loop stops the health pings",
         {{0, Event::Host}, {7000, Event::Stop}}, 0, 1000,
         {"0" + kReady, "0" + Label("players", 0), "0" + Label("spectators", 0), "0" + kHealth, "2000" + kHealth,
          "7000" + kShutdown}},
        {"nothing before hosting; the counts labelled as they change",
         {{1000, Event::Host}, {1500, Event::Beat, {3, 1}}, {2600, Event::Beat, {4, 1}}, {3000, Event::Stop}},
         0, 3000,
         {"1000" + kReady, "1000" + Label("players", 0), "1000" + Label("spectators", 0), "1000" + kHealth,
          "1500" + Label("players", 3), "1500" + Label("spectators", 1), "2600" + Label("players", 4),
          "3000" + kShutdown}},
        {"ready retried each second until the sidecar is up",
         {{0, Event::SidecarDown}, {0, Event::Host}, {2500, Event::SidecarUp}, {3000, Event::Stop}}, 0, 3000,
         {"0 !" + kReady.substr(1), "1000 !" + kReady.substr(1), "2000 !" + kReady.substr(1), "3000" + kShutdown}},
        {"shutdown tried twice at most",
         {{0, Event::Host}, {0, Event::SidecarDown}, {1000, Event::Stop}}, 0, 0,
         {"0 !" + kReady.substr(1), "1000 !" + kShutdown.substr(1), "2000 !" + kShutdown.substr(1)}},
    };
    for (const Case& c : cases)
        EXPECT_THAT(Play(c.events, c.beatFrom, c.beatUntil, 10000), ElementsAreArray(c.expected)) << c.name;
}

// A sidecar on a loopback port that answers each contract call 200 with {} (silent:
// accepts connections into its backlog and never answers).
class FakeSidecar {
public:
    explicit FakeSidecar(bool silent)
    {
        sockaddr_in address{.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
        socklen_t length = sizeof address;
        bind(fd_, reinterpret_cast<sockaddr*>(&address), length);
        listen(fd_, 64);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        if (!silent)
            thread_ = std::thread([this] { serve(); });
    }
    ~FakeSidecar()
    {
        done_ = true;
        if (thread_.joinable())
            thread_.join();
        close(fd_);
    }
    std::vector<std::string> calls()
    {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    uint16_t port = 0;

private:
    void serve()
    {
        for (pollfd wait{fd_, POLLIN, 0}; !done_;) {
            if (poll(&wait, 1, 20) <= 0)
                continue;
            int client = accept(fd_, nullptr, nullptr);
            std::string request;
            char buffer[4096];
            for (ssize_t got; request.find("\r\n\r\n") == std::string::npos || !request.ends_with("}");) {
                if ((got = read(client, buffer, sizeof buffer)) <= 0)
                    break;
                request.append(buffer, static_cast<size_t>(got));
            }
            std::string line = request.substr(0, request.find(" HTTP/1.1"));
            std::string body = request.substr(request.find("\r\n\r\n") + 4);
            bool ok = FollowsContract({line.substr(0, line.find(' ')), line.substr(line.find(' ') + 1), body});
            std::string answer = ok ? "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}"
                                    : "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
            [[maybe_unused]] ssize_t sent = write(client, answer.data(), answer.size());
            close(client);
            std::lock_guard lock(mutex_);
            calls_.push_back(line + " " + body);
        }
    }
    int fd_ = socket(AF_INET, SOCK_STREAM, 0);
    std::atomic<bool> done_ = false;
    std::mutex mutex_;
    std::vector<std::string> calls_;
    std::thread thread_;
};

TEST(AgonesLinkOnLoopback, TellsTheSidecarInOrderAndShutsDownLast)
{
    FakeSidecar sidecar(false);
    AgonesLink link(sidecar.port, {.callTimeout = std::chrono::milliseconds(2000), .retryMs = 50});
    link.hosting();
    link.beat({.players = 2, .spectators = 1});
    ASSERT_TRUE(testing::Within(10000, [&] { return sidecar.calls().size() >= 4; }));
    link.stop();
    EXPECT_THAT(sidecar.calls(), ElementsAreArray(std::vector<std::string>{"POST /ready {}",
                                                  "PUT /metadata/label {\"key\":\"players\",\"value\":\"2\"}",
                                                  "PUT /metadata/label {\"key\":\"spectators\",\"value\":\"1\"}",
                                                  "POST /health {}", "POST /shutdown {}"}));
}

TEST(AgonesLinkOnLoopback, SilentSidecarHoldsNeitherTheLoopNorTheExit)
{
    FakeSidecar sidecar(true);
    auto stopped = std::async(std::launch::async, [&] {
        AgonesLink link(sidecar.port, {.callTimeout = std::chrono::milliseconds(100), .retryMs = 50});
        link.hosting();
        for (int pass = 0; pass < 1000; ++pass)
            link.beat({.players = pass % 3, .spectators = 0});
    });
    // Each call gives up after its timeout: the exit waits for a few of them, never for the sidecar.
    EXPECT_EQ(stopped.wait_for(std::chrono::seconds(20)), std::future_status::ready);
}

} // namespace
} // namespace skirmish

// The real binary, each test on a UDP port of its own, driven through its console and by real ENet clients.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <ctime>
#include <sstream>
#include <thread>

#include "game/insta_weapon.h"
#include "core/console.h"
#include "net/client.h"
#include "server_process.h"
#include "game/rooms.h"

namespace skirmish::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// A client that keeps every message it was sent, as text.
struct Player {
    NetClient client;
    std::vector<std::string> got;

    bool connect(uint16_t port, bool websocket = false)
    {
        return websocket ? client.connectWebSocket("127.0.0.1", port, 3000) : client.connect("127.0.0.1", port, 3000);
    }
    void send(const MessageWriter& message)
    {
        client.send(message);
        client.service(0);
    }
    void drain()
    {
        client.service(1);
        while (client.nextMessage())
            got.push_back(client.current().describe());
    }
    // Services until a message starting with prefix arrives; returns it, or "" on time-out.
    std::string waitFor(const std::string& prefix, int timeoutMs = 5000)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        size_t seen = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            drain();
            for (; seen < got.size(); ++seen)
                if (got[seen].rfind(prefix, 0) == 0)
                    return got[seen];
        }
        return "";
    }
};

void ServeBoth(Player& a, Player& b, int ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
        a.drain();
        b.drain();
    }
}

std::vector<std::string> RoomRecords(const Level& level)
{
    std::vector<std::string> records;
    for (const Room& room : level.rooms)
        records.push_back(std::to_string(room.x) + " " + std::to_string(room.y) + " " + std::to_string(room.width) +
                          " " + std::to_string(room.height));
    return records;
}

// The level that a seed gives for these answers, built in-process from the same code.
std::unique_ptr<Level> LevelFor(int64_t seed, int32_t players, int32_t sizeX, int32_t sizeY, int32_t rooms,
                                int32_t weapons)
{
    std::ostringstream quiet;
    ScopedConsole capture(quiet);
    auto level = std::make_unique<Level>(rooms, sizeX, sizeY, weapons, players);
    level->seed = static_cast<int32_t>(seed);
    GenerateRooms(*level, 0);
    return level;
}

TEST(RealServer, greets_logs_sends_the_seeded_snapshot_and_says_goodbye_on_sigterm)
{
    const int64_t before = std::time(nullptr);
    const uint16_t port = FreeUdpPort();
    ServerProcess server({SKIRMISH_SERVER_BINARY, "--port", std::to_string(port)});
    server.type("4\n12\n9\n3\n2\n");
    ASSERT_TRUE(server.waitForOutput("Server Started. Awaiting players...\n")) << server.output();
    const int64_t after = std::time(nullptr);
    EXPECT_THAT(server.output(), HasSubstr("Input max number of players: Input map x dimensions: "));

    Player eve;
    ASSERT_TRUE(eve.connect(port));
    EXPECT_EQ(eve.waitFor("MOTD"), "MOTD Goes Here");
    ASSERT_TRUE(server.waitForOutput("Player ID 1 has joined the game from 127.0.0.1\n"));

    eve.send(MessageWriter().putString("Hello\x1b").putInt(3));
    ASSERT_TRUE(server.waitForOutput("message \"Hello\\x1b\" Sent by P1, but no matching command\n"));

    eve.send(MessageWriter().putString("Name").putString("Eve"));
    ASSERT_EQ(eve.waitFor("Joined"), "Joined 1 Eve");
    auto info = std::find(eve.got.begin(), eve.got.end(), "LevelInfo 3 12 9 4");
    ASSERT_NE(info, eve.got.end());
    std::vector<std::string> rooms(info + 1, info + 5);
    bool matchesASeed = false;
    for (int64_t seed = before; seed <= after; ++seed)
        matchesASeed |= RoomRecords(*LevelFor(seed, 4, 12, 9, 3, 2)) == rooms;
    EXPECT_TRUE(matchesASeed) << "rooms " << ::testing::PrintToString(rooms);
    EXPECT_THAT(std::vector<std::string>(info + 5, info + 9),
                ElementsAre("Player 1 Eve 0f 0f b1 0", "PlayersDone", "ProjDone", "Joined 1 Eve"));

    {
        Player brief;
        ASSERT_TRUE(brief.connect(port));
        ASSERT_TRUE(server.waitForOutput("Player ID 2 has joined"));
        brief.client.disconnect(1000);
    }
    ASSERT_TRUE(server.waitForOutput("Player ID 2 has left the game.\n"));
    EXPECT_EQ(eve.waitFor("Left"), "Left 2");

    server.signal(SIGTERM);
    EXPECT_EQ(eve.waitFor("ServerQuit"), "ServerQuit");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!eve.client.lostConnection() && std::chrono::steady_clock::now() < deadline)
        eve.drain();
    EXPECT_TRUE(eve.client.lostConnection());
    EXPECT_EQ(server.waitForExit(), 0);
}

TEST(RealServer, a_busy_port_gives_the_error_lines_and_the_pause)
{
    int busy = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    const uint16_t port = FreeUdpPort();
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(busy, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    ServerProcess server({SKIRMISH_SERVER_BINARY, "--port", std::to_string(port)});
    server.type("4\n10\n10\n2\n1\n");
    ASSERT_TRUE(server.waitForOutput("Press any key to continue . . . ")) << server.output();
    EXPECT_THAT(server.output(), HasSubstr("\nError: Cannot host on UDP port " + std::to_string(port) +
                                           ": Address already in use\nServer not started.Press any key to continue . . . "));
    server.type("k");
    EXPECT_EQ(server.waitForExit(), 0);
    close(busy);
}

// A calendar second whose one-weapon catalogue kills in two single-projectile shots with a short cooldown.
int64_t SeedWithAQuickKiller(const InstaWeapon*& weapon, std::unique_ptr<Level>& level)
{
    for (int64_t seed = 1767225600; seed < 1767225600 + 200000; ++seed) {
        level = LevelFor(seed, 4, 10, 10, 2, 1);
        weapon = static_cast<const InstaWeapon*>(level->entities.weapons[0].get());
        if (weapon->damage >= 51 && weapon->numLines == 1 && weapon->period < 0.6f)
            return seed;
    }
    return 0;
}

// The victim plays over ENet, then from a browser's WebSocket: one game for both.
class ShotToDeath : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(RealServer, ShotToDeath, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "victim_on_websocket" : "victim_on_enet"; });

TEST_P(ShotToDeath, a_player_shot_to_death_comes_back_three_seconds_later)
{
    const char* fakeTimeLibrary = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";
    if (access(fakeTimeLibrary, R_OK) != 0)
        GTEST_FAIL() << "libfaketime is missing; the test command installs the faketime package";
    const InstaWeapon* weapon = nullptr;
    std::unique_ptr<Level> level;
    int64_t seed = SeedWithAQuickKiller(weapon, level);
    ASSERT_NE(seed, 0);
    char when[64];
    time_t t = static_cast<time_t>(seed);
    std::strftime(when, sizeof when, "@%Y-%m-%d %H:%M:%S", std::gmtime(&t));

    const uint16_t port = FreeUdpPort();
    ServerProcess server({SKIRMISH_SERVER_BINARY, "--port", std::to_string(port)},
                         {std::string("LD_PRELOAD=") + fakeTimeLibrary,
                                                    std::string("FAKETIME=") + when, "TZ=UTC",
                                                    "FAKETIME_DONT_FAKE_MONOTONIC=1",
                                                    // a sanitizer build must accept the preloaded library
                                                    "ASAN_OPTIONS=verify_asan_link_order=0:halt_on_error=1"});
    server.type("4\n10\n10\n2\n1\n");
    ASSERT_TRUE(server.waitForOutput("Server Started. Awaiting players...\n")) << server.output();

    Player shooter, victim;
    ASSERT_TRUE(shooter.connect(port));
    // ENet seats a client once its answer to the handshake arrives: wait for that, so the shooter is id 1.
    ASSERT_TRUE(server.waitForOutput("Player ID 1 has joined"));
    ASSERT_TRUE(victim.connect(port, GetParam()));
    shooter.send(MessageWriter().putString("Name").putString("Shooter"));
    ASSERT_EQ(shooter.waitFor("Joined 1"), "Joined 1 Shooter");
    victim.send(MessageWriter().putString("Name").putString("Victim"));
    ASSERT_EQ(shooter.waitFor("Joined 2"), "Joined 2 Victim");
    ASSERT_EQ(victim.waitFor("Joined 2"), "Joined 2 Victim");
    const float roomX = static_cast<float>(level->rooms[1].x);
    const float roomY = static_cast<float>(level->rooms[1].y);
    // Ten units apart on x: the shot starts inside the victim's box, whatever its spread.
    shooter.send(MessageWriter().putString("Respawn").putInt(0).putInt(0));
    victim.send(MessageWriter().putString("Respawn").putInt(0).putInt(10));
    shooter.send(MessageWriter().putString("Rotate").putFloat(90));
    ASSERT_FALSE(victim.waitFor("Rotated 1").empty());
    ServeBoth(shooter, victim, static_cast<int>(weapon->period * 1000) + 100);

    victim.got.clear();
    shooter.send(MessageWriter().putString("Fire"));
    ASSERT_FALSE(victim.waitFor("ProjDelete").empty());
    ServeBoth(shooter, victim, static_cast<int>(weapon->period * 1000) + 100);
    shooter.send(MessageWriter().putString("Fire"));
    ASSERT_FALSE(victim.waitFor("Dead").empty());
    auto died = std::chrono::steady_clock::now();
    ASSERT_FALSE(victim.waitFor("Alive", 5000).empty());
    auto cameBack = std::chrono::steady_clock::now() - died;
    EXPECT_GE(cameBack, std::chrono::milliseconds(2900));
    EXPECT_LE(cameBack, std::chrono::milliseconds(3500));

    std::vector<std::string> sequence;
    for (const std::string& message : victim.got)
        if (message.rfind("ProjMove", 0) != 0)
            sequence.push_back(message);
    std::ostringstream from;
    from << roomX << "f " << roomY << "f 90f";
    ASSERT_EQ(sequence.size(), 8u) << ::testing::PrintToString(sequence);
    EXPECT_EQ(sequence[0], "NewProjectile 0 " + from.str());
    EXPECT_EQ(sequence[1], "Health " + std::to_string(100 - weapon->damage));
    EXPECT_EQ(sequence[2], "ProjDelete 0");
    EXPECT_EQ(sequence[3], "NewProjectile 0 " + from.str());
    EXPECT_EQ(sequence[4], "Dead 2 1");
    EXPECT_EQ(sequence[5], "ProjDelete 0");
    EXPECT_THAT(sequence[6], ::testing::StartsWith("Moved 2 "));
    EXPECT_EQ(sequence[7], "Alive 2");
    EXPECT_EQ(shooter.waitFor("Alive 2"), "Alive 2");
    EXPECT_THAT(server.output(), HasSubstr("Player ID 2 has joined the game from 127.0.0.1"));

    server.signal(SIGINT);
    EXPECT_EQ(victim.waitFor("ServerQuit"), "ServerQuit");
    EXPECT_EQ(server.waitForExit(), 0);
}

TEST(RealServer, flags_answer_the_questions_move_the_port_and_cap_seats_per_address)
{
    const uint16_t port = FreeUdpPort();
    ServerProcess server({SKIRMISH_SERVER_BINARY, "--players", "9", "--width", "32", "--height", "24", "--rooms", "6",
                          "--weapons", "12", "--port", std::to_string(port), "--max-per-address", "2"});
    ASSERT_TRUE(server.waitForOutput("Server Started. Awaiting players...\n")) << server.output();
    EXPECT_THAT(server.output(), ::testing::Not(HasSubstr("Input")));
    NetClient first, second, third;
    ASSERT_TRUE(first.connect("127.0.0.1", port, 3000));
    ASSERT_TRUE(second.connect("127.0.0.1", port, 3000));
    third.connect("127.0.0.1", port, 3000);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!third.refusedAsFull() && std::chrono::steady_clock::now() < deadline)
        third.service(10);
    EXPECT_TRUE(third.refusedAsFull());
    EXPECT_TRUE(server.waitForOutput(
        "Connection from 127.0.0.1 refused: 2 players are connected from that address already.\n"));
}

// The body of GET path from the web front on port, or "" when nothing answers 200.
std::string HttpGet(uint16_t port, const std::string& path)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        std::string request = "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
        [[maybe_unused]] ssize_t sent = write(fd, request.data(), request.size());
        char buffer[4096];
        for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;)
            reply.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    if (reply.rfind("HTTP/1.1 200", 0) != 0)
        return "";
    return reply.substr(reply.find("\r\n\r\n") + 4);
}

// What promtool says of a metrics page: "" when it passes.
std::string PromtoolComplaints(const std::string& page)
{
    char path[] = "/tmp/skirmish-metrics-XXXXXX";
    int fd = mkstemp(path);
    [[maybe_unused]] ssize_t written = write(fd, page.data(), page.size());
    close(fd);
    ServerProcess promtool({"sh", "-c", std::string("promtool check metrics < ") + path});
    std::optional<int> status = promtool.waitForExit(10000);
    unlink(path);
    return status == 0 ? "" : "status " + std::to_string(status.value_or(-1)) + ": " + promtool.output();
}

TEST(RealServer, metrics_pass_promtool_and_follow_joins_and_leaves_and_no_web_closes_tcp)
{
    const uint16_t port = FreeUdpPort();
    ServerProcess server({SKIRMISH_SERVER_BINARY, "--players", "9", "--width", "32", "--height", "24", "--rooms", "6",
                          "--weapons", "12", "--port", std::to_string(port)});
    ASSERT_TRUE(server.waitForOutput("Server Started. Awaiting players...\n")) << server.output();
    EXPECT_EQ(HttpGet(port, "/healthz"), "ok\n");
    const std::string idle = HttpGet(port, "/metrics");
    EXPECT_EQ(PromtoolComplaints(idle), "");
    EXPECT_THAT(idle, HasSubstr("\nskirmish_players{transport=\"enet\"} 0\n"));
    EXPECT_THAT(idle, HasSubstr("\nskirmish_build_info{version=\""));
    {
        Player player;
        ASSERT_TRUE(player.connect(port));
        ASSERT_TRUE(server.waitForOutput("Player ID 1 has joined"));
        player.drain();
        EXPECT_THAT(HttpGet(port, "/metrics"), HasSubstr("\nskirmish_players{transport=\"enet\"} 1\n"));
        player.client.disconnect();
    }
    ASSERT_TRUE(server.waitForOutput("Player ID 1 has left the game."));
    EXPECT_THAT(HttpGet(port, "/metrics"), HasSubstr("\nskirmish_players{transport=\"enet\"} 0\n"));
    server.signal(SIGTERM);
    EXPECT_EQ(server.waitForExit(), 0);

    ServerProcess gameOnly({SKIRMISH_SERVER_BINARY, "--players", "9", "--width", "32", "--height", "24", "--rooms",
                            "6", "--weapons", "12", "--port", std::to_string(port), "--no-web"});
    ASSERT_TRUE(gameOnly.waitForOutput("Server Started. Awaiting players...\n")) << gameOnly.output();
    EXPECT_EQ(HttpGet(port, "/healthz"), "");
}

// What only the process shows: how start-up ends, for these flags and this input.
TEST(RealServer, start_up_that_cannot_host_says_why_and_exits_with_its_status)
{
    struct Case {
        std::vector<std::string> flags;
        const char* typed; // then standard input closes
        int status;
        const char* startsWith;
    };
    const Case cases[] = {
        {{"--players", "0"}, "", 2, "Players must be between 0 and 256.\n"},
        {{"--rooms", "-1"}, "", 2, "rooms must be greater than 0.\n"},
        {{"--port", "x"}, "", 2, "skirmish-server: bad value for --port: x\nUsage: "},
        {{"--width"}, "", 2, "skirmish-server: --width needs a value\nUsage: "},
        {{"--nope"}, "", 2, "skirmish-server: unknown option --nope\nUsage: "},
        {{"--version"}, "", 0, "skirmish-server "},
        {{"--help"}, "", 0, "Usage: skirmish-server"},
        {{}, "4\n10\n", 1,
         "Input max number of players: Input map x dimensions: Input map y dimensions: \n"
         "Input ended before the server was set up; nothing was started.\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv{SKIRMISH_SERVER_BINARY};
        argv.insert(argv.end(), c.flags.begin(), c.flags.end());
        ServerProcess server(argv);
        server.type(c.typed);
        server.closeInput();
        EXPECT_EQ(server.waitForExit(), c.status) << c.startsWith;
        EXPECT_EQ(server.output().rfind(c.startsWith, 0), 0u) << server.output();
    }
}

} // namespace
} // namespace skirmish::testing

// What only the real binary shows: its prompts, console and exit codes, signals, the
// port, its web pages, and one whole game over ENet and over WebSocket.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "core/console.h"
#include "game/insta_weapon.h"
#include "game/rooms.h"
#include "real_binary.h"

namespace skirmish::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

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

TEST(RealServer, plays_the_typed_answers_logs_the_address_and_says_goodbye_on_sigterm)
{
    const uint16_t port = FreeUdpPort();
    ServerProcess server({SKIRMISH_SERVER_BINARY, "--port", std::to_string(port), "--no-demos"});
    server.type("4\n12\n9\n3\n2 5\n");
    ASSERT_TRUE(server.waitForOutput("Server Started. Awaiting players...\n")) << server.output();
    EXPECT_THAT(server.output(), HasSubstr("Input max number of players: Input map x dimensions: "));
    EXPECT_THAT(server.output(), HasSubstr("Input number of weapons: Unused answer on standard input: 5\n"));

    Player eve;
    ASSERT_EQ(eve.join(port, "Eve"), "Joined 1 Eve");
    EXPECT_THAT(eve.got, ::testing::Contains("LevelInfo 3 12 9 4")); // the rooms, from the calendar second, vary
    EXPECT_TRUE(server.waitForOutput("Player ID 1 has joined the game from 127.0.0.1\n"));
    // Standard input takes the operator's commands once answered, and its end changes nothing.
    server.type("status\n");
    EXPECT_TRUE(server.waitForOutput("\nid=1 name=\"Eve\" address=127.0.0.1 transport=enet rtt_ms=")) << server.output();
    server.closeInput();
    eve.send(command::PlayerMessage("still here"));
    EXPECT_EQ(eve.waitFor("PlayerMessage"), "PlayerMessage 1 still here");
    server.signal(SIGTERM);
    EXPECT_EQ(eve.waitFor("ServerQuit"), "ServerQuit");
    EXPECT_TRUE(eve.waitForLoss());
    EXPECT_EQ(server.waitForExit(), 0);
}

// The victim plays over ENet, then from a browser's WebSocket: one game for both.
class ShotToDeath : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(RealServer, ShotToDeath, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "victim_on_websocket" : "victim_on_enet"; });

TEST_P(ShotToDeath, a_player_shot_to_death_comes_back_three_seconds_later)
{
    const char* fakeTimeLibrary = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";
    ASSERT_EQ(access(fakeTimeLibrary, R_OK), 0) << "libfaketime is missing; the test command installs faketime";
    // A calendar second whose one-weapon catalogue kills in two single-projectile shots with a short cooldown.
    int64_t seed = 1767225600;
    std::unique_ptr<Level> level;
    const InstaWeapon* weapon = nullptr;
    for (;; ++seed) {
        level = LevelFor(seed, 4, 10, 10, 2, 1);
        weapon = static_cast<const InstaWeapon*>(level->entities.weapons[0].get());
        if (weapon->damage >= 51 && weapon->numLines == 1 && weapon->period < 0.6f)
            break;
    }
    char when[64];
    time_t t = static_cast<time_t>(seed);
    std::strftime(when, sizeof when, "FAKETIME=@%Y-%m-%d %H:%M:%S", std::gmtime(&t));
    RealServer server({"--players", "4", "--width", "10", "--height", "10", "--rooms", "2", "--weapons", "1"},
                      {std::string("LD_PRELOAD=") + fakeTimeLibrary, when, "TZ=UTC", "FAKETIME_DONT_FAKE_MONOTONIC=1",
                       // a sanitizer build must accept the preloaded library
                       "ASAN_OPTIONS=verify_asan_link_order=0:halt_on_error=1"});
    ASSERT_TRUE(server.started) << server.process.output();

    Player shooter, victim;
    ASSERT_EQ(shooter.join(server.port, "Shooter"), "Joined 1 Shooter");
    ASSERT_EQ(victim.join(server.port, "Victim", GetParam()), "Joined 2 Victim");
    ASSERT_EQ(shooter.waitFor("Joined 2"), "Joined 2 Victim");
    // Ten units apart on x: the shot starts inside the victim's box, whatever its spread.
    shooter.send(command::Respawn(0, 0));
    victim.send(command::Respawn(0, 10));
    shooter.send(command::Rotate(90));
    ASSERT_FALSE(victim.waitFor("Rotated 1").empty());
    const int cooldownMs = static_cast<int>(weapon->period * 1000) + 100;
    victim.waitFor("-", cooldownMs);
    victim.got.clear();
    shooter.send(command::Fire());
    ASSERT_FALSE(victim.waitFor("ProjDelete").empty());
    victim.waitFor("-", cooldownMs);
    shooter.send(command::Fire());
    ASSERT_FALSE(victim.waitFor("Dead").empty());
    auto died = std::chrono::steady_clock::now();
    ASSERT_FALSE(victim.waitFor("Alive").empty());
    EXPECT_GE(std::chrono::steady_clock::now() - died, std::chrono::milliseconds(2900)); // not before its time

    std::vector<std::string> sequence;
    for (const std::string& message : victim.got)
        if (message.rfind("ProjMove", 0) != 0)
            sequence.push_back(message.rfind("Moved 2 ", 0) == 0 ? "Moved 2" : message);
    std::ostringstream shot;
    shot << "NewProjectile 0 " << level->rooms[1].x << "f " << level->rooms[1].y << "f 90f";
    EXPECT_THAT(sequence, ElementsAre(shot.str(), "Health " + std::to_string(100 - weapon->damage), "ProjDelete 0",
                                      shot.str(), "Dead 2 1", "ProjDelete 0", "Moved 2", "Alive 2"));
    EXPECT_EQ(shooter.waitFor("Alive 2"), "Alive 2");
    server.process.signal(SIGINT);
    EXPECT_EQ(victim.waitFor("ServerQuit"), "ServerQuit");
    EXPECT_EQ(server.process.waitForExit(), 0);
}

// What promtool says of a metrics page: "" when it passes.
std::string PromtoolComplaints(const std::string& page)
{
    ServerProcess promtool({"promtool", "check", "metrics"});
    promtool.type(page);
    promtool.closeInput();
    std::optional<int> status = promtool.waitForExit(10000);
    return status == 0 ? "" : "status " + std::to_string(status.value_or(-1)) + ": " + promtool.output();
}

TEST(RealServer, flags_answer_the_questions_cap_seats_per_address_and_metrics_follow_the_players)
{
    std::vector<std::string> flags = {"--players", "9",       "--width", "32", "--height",          "24",
                                      "--rooms",   "6",       "--weapons", "12", "--max-per-address", "2"};
    RealServer server(flags);
    ASSERT_TRUE(server.started) << server.process.output();
    EXPECT_THAT(server.process.output(), ::testing::Not(HasSubstr("Input")));
    EXPECT_EQ(HttpGet(server.port, "/healthz"), "ok\n");
    const std::string idle = HttpGet(server.port, "/metrics");
    EXPECT_EQ(PromtoolComplaints(idle), "");
    EXPECT_THAT(idle, HasSubstr("\nskirmish_players{transport=\"enet\"} 0\n"));
    EXPECT_THAT(idle, HasSubstr("\nskirmish_build_info{version=\""));
    {
        Player first, second, third;
        ASSERT_TRUE(first.connect(server.port));
        ASSERT_TRUE(second.connect(server.port));
        third.connect(server.port);
        EXPECT_TRUE(third.waitForLoss());
        EXPECT_TRUE(third.client.refusedAsFull());
        EXPECT_TRUE(server.process.waitForOutput(
            "Connection from 127.0.0.1 refused: 2 players are connected from that address already.\n"));
        ASSERT_TRUE(server.process.waitForOutput("Player ID 2 has joined"));
        EXPECT_THAT(HttpGet(server.port, "/metrics"), HasSubstr("\nskirmish_players{transport=\"enet\"} 2\n"));
        first.client.disconnect();
        second.client.disconnect();
    }
    ASSERT_TRUE(server.process.waitForOutput("Player ID 2 has left the game."));
    EXPECT_THAT(HttpGet(server.port, "/metrics"), HasSubstr("\nskirmish_players{transport=\"enet\"} 0\n"));

    // Recorded since the first join: listed, served whole or from an offset, nothing outside its folder.
    const std::string console = server.process.output(), marker = "Recording to " + server.demos.path + "/";
    ASSERT_THAT(console, HasSubstr(marker));
    const size_t at = console.find(marker) + marker.size();
    const std::string name = console.substr(at, console.find('\n', at) - at);
    EXPECT_THAT(HttpGet(server.port, "/demos"), HasSubstr("<a href=\"/replay?demo=" + name + "\">"));
    EXPECT_THAT(HttpGet(server.port, "/metrics"), HasSubstr("\nskirmish_recording 1\n"));
    std::string served; // a block follows the header within a second
    Within(3000, [&] { return (served = HttpGet(server.port, "/demos/" + name)).size() > 40; });
    std::ifstream file(server.demos.path + "/" + name, std::ios::binary);
    const std::string stored{std::istreambuf_iterator<char>(file), {}};
    ASSERT_GT(served.size(), 40u);
    EXPECT_EQ(stored.substr(0, served.size()), served);
    EXPECT_EQ(HttpGet(server.port, "/demos/" + name, "40-"), stored.substr(40));
    for (const char* outside : {"/demos/..%2f..%2fetc%2fpasswd", "/demos/../demos", "/demos/x.demo"})
        EXPECT_EQ(HttpGet(server.port, outside), "") << outside;
    // A FIFO or a link named like a recording is neither listed nor served, and
    // nothing waits on the FIFO; a reader slower than the request's deadline gets all.
    const std::string fifo = "20200101T000001Z-1.demo", link = "20200101T000002Z-1.demo", big = "20200101T000003Z-1.demo";
    ASSERT_EQ(mkfifo((server.demos.path + "/" + fifo).c_str(), 0644), 0);
    std::filesystem::create_symlink("/etc/passwd", server.demos.path + "/" + link);
    std::ofstream(server.demos.path + "/" + big) << std::string(6 << 20, 'x');
    EXPECT_THAT(HttpGet(server.port, "/demos"), ::testing::Not(HasSubstr(fifo)));
    for (const std::string& special : {fifo, link})
        EXPECT_EQ(HttpGet(server.port, "/demos/" + special), "") << special;
    const char* kSlowReader = "import socket,sys,time\ns=socket.create_connection(('127.0.0.1',int(sys.argv[1])))\n"
                              "s.sendall(b'GET '+sys.argv[2].encode()+b' HTTP/1.1\\r\\nHost: x\\r\\n\\r\\n')\ngot=b''\n"
                              "while c:=s.recv(65536): got+=c; time.sleep(len(c)/1.5e6)\n"
                              "print(len(got)-got.index(b'\\r\\n\\r\\n')-4,end='')\n";
    ServerProcess slow({"python3", "-c", kSlowReader, std::to_string(server.port), "/demos/" + big});
    EXPECT_EQ(slow.waitForExit(30000), 0);
    EXPECT_EQ(slow.output(), std::to_string(6 << 20));
    server.process.signal(SIGTERM);
    EXPECT_EQ(server.process.waitForExit(), 0);

    flags.push_back("--no-web");
    RealServer udpOnly(flags);
    ASSERT_TRUE(udpOnly.started) << udpOnly.process.output();
    EXPECT_EQ(HttpGet(udpOnly.port, "/healthz"), "");
}

// Both transports: a browser's spectator watches, an ENet one past the cap is refused as from a full server.
TEST(RealServer, a_spectator_watches_over_websocket_and_one_past_the_cap_is_refused_over_enet)
{
    RealServer server({"--players", "4", "--width", "10", "--height", "10", "--rooms", "2", "--weapons", "1",
                       "--max-spectators", "1"});
    ASSERT_TRUE(server.started) << server.process.output();
    Player watcher, extra, player;
    ASSERT_TRUE(watcher.connect(server.port, true, Role::Spectator));
    EXPECT_EQ(watcher.waitFor("ProjDone"), "ProjDone");
    EXPECT_EQ(watcher.got.front(), "LevelInfo 2 10 10 4");
    extra.connect(server.port, false, Role::Spectator);
    EXPECT_TRUE(extra.waitForLoss());
    EXPECT_TRUE(extra.client.refusedAsFull());
    ASSERT_EQ(player.join(server.port, "Ada"), "Joined 1 Ada");
    EXPECT_EQ(watcher.waitFor("Joined 1"), "Joined 1 Ada");
    EXPECT_EQ(HttpGet(server.port, "/spectators"), "1\n");
    const std::string metrics = HttpGet(server.port, "/metrics");
    EXPECT_THAT(metrics, HasSubstr("\nskirmish_spectators{transport=\"websocket\"} 1\n"));
    EXPECT_THAT(metrics, HasSubstr("\nskirmish_connections_refused_total{reason=\"spectators_full\"} 1\n"));
    EXPECT_EQ(PromtoolComplaints(metrics), "");
}

// Bots fight alone from the start; a browser visitor joins at once, a bot making way.
TEST(RealServer, bots_fill_a_fresh_server_and_a_browser_visitor_joins_their_fight)
{
    RealServer server({"--players", "9", "--width", "16", "--height", "16", "--rooms", "3", "--weapons", "4", "--bots",
                       "6"});
    ASSERT_TRUE(server.started) << server.process.output();
    Player watcher;
    ASSERT_TRUE(watcher.connect(server.port, true, Role::Spectator));
    EXPECT_FALSE(watcher.waitFor("NewProjectile ", 8000).empty()) << "the bots fight among themselves";
    Player visitor;
    ASSERT_EQ(visitor.join(server.port, "Visitor", true), "Joined 7 Visitor");
    EXPECT_THAT(visitor.got, ::testing::Contains(::testing::StartsWith("Player 1 [bot] ")));
    EXPECT_TRUE(Within(3000, [&] { return visitor.drain(), std::ranges::count(visitor.got, "Left 6") == 1; }));
    EXPECT_THAT(HttpGet(server.port, "/metrics"), HasSubstr("\nskirmish_bots 5\n"));
    server.process.signal(SIGTERM);
    EXPECT_EQ(server.process.waitForExit(), 0) << server.process.output();
}

// The exit status and the line reach the shell; the in-process tests cover the other flags.
// Rooms have no bound: a snapshot larger than a connection's backlog cap still reaches
// a plain (version 1) player whole, over either transport, instead of dropping it as stalled.
TEST(RealServer, a_level_whose_snapshot_passes_the_backlog_cap_reaches_a_plain_player_whole)
{
    const uint16_t port = FreeUdpPort();
    ServerProcess server({SKIRMISH_SERVER_BINARY, "--port", std::to_string(port), "--no-demos", "--players", "4",
                          "--width", "64", "--height", "64", "--rooms", "60000", "--weapons", "1"});
    ASSERT_TRUE(server.waitForOutput("Server Started. Awaiting players...\n", 20000)) << server.output();
    Player enet, web;
    EXPECT_EQ(enet.join(port, "Eve"), "Joined 1 Eve");
    EXPECT_EQ(web.join(port, "Wes", true), "Joined 2 Wes");
    EXPECT_EQ(std::count_if(web.got.begin(), web.got.end(), [](const std::string& m) { return m.starts_with("Player "); }), 2);
}

TEST(RealServer, a_refused_flag_value_exits_2_with_the_questions_error_line)
{
    ServerProcess server({SKIRMISH_SERVER_BINARY, "--players", "0"});
    server.closeInput();
    EXPECT_EQ(server.waitForExit(), 2);
    EXPECT_EQ(server.output(), "Players must be between 0 and 256.\n");
}

} // namespace
} // namespace skirmish::testing

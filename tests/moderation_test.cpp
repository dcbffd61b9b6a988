// Operators' commands over the admin socket of the real binary, and bans that outlive it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "real_binary.h"

namespace skirmish::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

struct Answer {
    std::optional<int> status;
    std::string text;
};

Answer Ask(const std::string& socket, const std::string& command)
{
    ServerProcess admin({"sh", "-c", std::string(SKIRMISH_ADMIN_BINARY) + " " + socket + " " + command});
    auto status = admin.waitForExit(5000);
    return {status, admin.output()};
}

std::string ReadFile(const std::string& path)
{
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), {}};
}

TEST(Moderation, each_command_answers_on_the_socket_and_kicked_and_banned_clients_hear_why)
{
    RealServer server;
    ASSERT_TRUE(server.started) << server.process.output();
    Player eve, web;
    ASSERT_EQ(eve.join(server.port, "Eve"), "Joined 1 Eve");
    ASSERT_EQ(web.join(server.port, "Web", true), "Joined 2 Web");
    struct Case {
        std::string command;
        int status;
        std::string answer; // a part of it
    };
    EXPECT_THAT(Ask(server.socket(), "status").text,
                ::testing::MatchesRegex("players=2 spectators=0 bots=0\n"
                                        "id=1 name=\"Eve\" address=127.0.0.1 transport=enet rtt_ms=[0-9]+ health=[0-9]+ "
                                        "connected_s=[0-9]+\n"
                                        "id=2 name=\"Web\" address=127.0.0.1 transport=websocket rtt_ms=[0-9]+ health=[0-9]+ "
                                        "connected_s=[0-9]+\n"));
    const Case cases[] = {
        {"say 'restart soon'", 0, "said\n"},
        {"say", 1, "Error: say needs a text\n"},
        {"say " + std::string(300, 'a'), 0, "said\n"},
        {"kick \"$(printf '1\\001')\" x", 1, "Error: no client is connected with id 1\\x01\n"},
        {"launch", 1, "Error: unknown command \"launch\"; help lists the commands\n"},
        {"kick 9", 1, "Error: no client is connected with id 9\n"},
        {"ban 10.0.0.300", 1, "Error: no id or IP address: 10.0.0.300\n"},
        {"unban 10.1.1.1", 1, "Error: 10.1.1.1 is not banned\n"},
        {"help", 0, "ban ID|ADDRESS [MINUTES] [REASON]"},
        {"kick 2 too loud \"$(printf '\\377')\"", 0, "kicked id=2 name=\"Web\"\n"},
        {"ban 1 30 griefing", 0, "banned address=127.0.0.1 until="},
        {"' bans'", 0, " reason=\"griefing\"\n"},
    };
    for (const Case& c : cases) {
        Answer answer = Ask(server.socket(), c.command);
        EXPECT_EQ(answer.status, c.status) << c.command;
        EXPECT_THAT(answer.text, HasSubstr(c.answer)) << c.command;
    }
    ASSERT_TRUE(eve.waitForLoss() && web.waitForLoss());
    EXPECT_THAT(eve.got, ::testing::IsSupersetOf({"PlayerMessage 0 restart soon", "Left 2",
                                                  "PlayerMessage 0 You are banned: griefing"}));
    EXPECT_THAT(eve.got, ::testing::Contains("PlayerMessage 0 " + std::string(255, 'a'))); // cut like a chat line
    EXPECT_THAT(web.got, ::testing::Contains("PlayerMessage 0 You were kicked: too loud \xff"));
    EXPECT_EQ(eve.client.farewellCode(), kDisconnectBanned);
    EXPECT_EQ(web.client.farewellCode(), kWebSocketKicked);
    EXPECT_EQ(web.client.farewellReason(), "too loud \\xff") << "a close reason is valid UTF-8";

    // Refused at connect, on both transports; the console says so once a minute.
    for (bool websocket : {false, true}) {
        Player again;
        again.connect(server.port, websocket);
        EXPECT_TRUE(again.waitForLoss());
        EXPECT_EQ(again.client.farewellCode(), websocket ? kWebSocketBanned : kDisconnectBanned);
    }
    EXPECT_EQ(Ask(server.socket(), "unban 127.0.0.1").text, "unbanned address=127.0.0.1\n");
    Player back;
    EXPECT_EQ(back.join(server.port, "Back"), "Joined 1 Back");
    const std::string metrics = HttpGet(server.port, "/metrics");
    EXPECT_THAT(metrics, HasSubstr("\nskirmish_kicks_total 1\n"));
    EXPECT_THAT(metrics, HasSubstr("\nskirmish_bans_total 1\n"));
    EXPECT_THAT(metrics, HasSubstr("\nskirmish_connections_refused_total{reason=\"banned\"} 2\n"));
    std::string console = server.process.output();
    EXPECT_EQ(console.find("refused: banned"), console.rfind("refused: banned")) << console;

    EXPECT_EQ(Ask(server.socket(), "stop").text, "stopping\n");
    EXPECT_EQ(server.process.waitForExit(), 0);
    EXPECT_NE(access(server.socket().c_str(), F_OK), 0) << "the socket is removed at exit";
}

// Every bot's line names its skill (a bad skill ending the start is the in-process tests' part).
TEST(Moderation, the_status_line_shows_each_bots_skill)
{
    RealServer server({"--players", "4", "--width", "10", "--height", "10", "--rooms", "2", "--weapons", "1", "--bots",
                       "2", "--bot-skill", "easy"});
    ASSERT_TRUE(server.started) << server.process.output();
    std::string status;
    EXPECT_TRUE(Within(5000, [&] {
        status = Ask(server.socket(), "status").text;
        return status.find("bots=2\n") != std::string::npos;
    })) << status;
    EXPECT_THAT(status, ::testing::MatchesRegex("players=0 spectators=0 bots=2\n(id=[12] name=\"\\[bot\\] [A-Za-z]+\" "
                                                "address=bot transport=bot skill=easy [^\n]*\n){2}"));
}

// Each ban is acknowledged only once its file is whole on disk: a kill at any moment
// of a burst leaves a file that loads with every acknowledged ban, expired ones dropped.
TEST(Moderation, bans_acknowledged_before_a_kill_outlive_it_and_a_malformed_file_stops_the_start)
{
    RealServer server;
    ASSERT_TRUE(server.started) << server.process.output();
    const std::string file = server.state.path + "/bans.txt";
    // The kill comes mid-burst, once a first ban is acknowledged however slow the machine.
    std::atomic<bool> firstAcknowledged{false};
    std::thread killer([&] {
        for (int waited = 0; !firstAcknowledged && waited < 10000; waited += 5)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        server.process.signal(SIGKILL);
    });
    std::vector<std::string> acknowledged;
    for (int i = 1; i < 250; ++i) {
        std::string address = "10.0." + std::to_string(i / 200) + "." + std::to_string(i % 200);
        if (Ask(server.socket(), "ban " + address + " 0 burst " + std::to_string(i)).status != 0)
            break;
        acknowledged.push_back(address);
        firstAcknowledged = true;
    }
    killer.join();
    ASSERT_FALSE(acknowledged.empty());
    std::ofstream(file, std::ios::app) << "10.9.9.9 2001-01-01T00:00:00Z long over\r\n \r\n  # kept\n";

    ServerProcess restarted(RealServer::Command({"--players", "4", "--width", "10", "--height", "10", "--rooms", "2",
                                                 "--weapons", "1"},
                                                FreeUdpPort(), server.demos.path, server.state.path));
    ASSERT_TRUE(restarted.waitForOutput("Server Started.", 10000)) << restarted.output();
    const std::string bans = Ask(server.socket(), "bans").text;
    for (const std::string& address : acknowledged)
        EXPECT_THAT(bans, HasSubstr("address=" + address + " until=never")) << address;
    // The ban in flight at the kill may have been written before its answer went out.
    const size_t listed = std::stoul(bans.substr(bans.find('=') + 1));
    EXPECT_TRUE(listed == acknowledged.size() || listed == acknowledged.size() + 1) << bans.substr(0, 12);
    EXPECT_THAT(bans, ::testing::Not(HasSubstr("10.9.9.9")));
    EXPECT_THAT(ReadFile(file), HasSubstr("10.9.9.9")) << "starting writes nothing; the next change drops it";
    EXPECT_EQ(Ask(server.socket(), "unban " + acknowledged.back()).status, 0);
    EXPECT_THAT(ReadFile(file), ::testing::AllOf(::testing::Not(HasSubstr("10.9.9.9")), HasSubstr("\n  # kept\n")));
    restarted.signal(SIGTERM);
    EXPECT_EQ(restarted.waitForExit(), 0);

    const std::string lines = ReadFile(file);
    std::ofstream(file, std::ios::app) << "10.1.2.3 tomorrow\n";
    ServerProcess refused(RealServer::Command({"--players", "4"}, FreeUdpPort(), server.demos.path, server.state.path));
    EXPECT_EQ(refused.waitForExit(), 1);
    const auto badLine = std::count(lines.begin(), lines.end(), '\n') + 1;
    EXPECT_THAT(refused.output(), HasSubstr("bans.txt:" + std::to_string(badLine) + ": the second word"));
}

// A POST of one command to the HTTP endpoint: the status code, a blank, the answer.
std::string Post(uint16_t port, const std::string& token, const std::string& command)
{
    ServerProcess curl({"curl", "-s", "--max-time", "20", "-w", " %{http_code}", "-H", "Authorization: Bearer " + token,
                        "--data-binary", command, "http://127.0.0.1:" + std::to_string(port) + "/admin"});
    curl.waitForExit(25000);
    const std::string output = curl.output();
    const size_t blank = output.rfind(' ');
    return blank == std::string::npos ? output : output.substr(blank + 1) + " " + output.substr(0, blank);
}

// Each token commands within its role; a wrong one is refused; every command, from the
// socket and HTTP alike, is audited with who gave it, and what it did is an event.
TEST(Moderation, tokens_command_over_http_within_their_roles_and_every_command_is_audited_with_its_giver)
{
    TempDir ops;
    std::ofstream(ops.path + "/tokens") << "moderator-token-0001 moderator Mia\nadmin-token-00000002 admin Al\n";
    const uint16_t http = FreeUdpPort();
    RealServer server({"--players", "4", "--width", "10", "--height", "10", "--rooms", "2", "--weapons", "1",
                       "--admin-http", "127.0.0.1:" + std::to_string(http), "--admin-tokens", ops.path + "/tokens",
                       "--audit-log", ops.path + "/audit", "--event-log", ops.path + "/events"});
    ASSERT_TRUE(server.started) << server.process.output();
    Player eve;
    ASSERT_EQ(eve.join(server.port, "Eve"), "Joined 1 Eve");
    const std::pair<std::string, std::string> cases[] = {
        {"moderator-token-0001 say hello", "200 said\n"},
        {"moderator-token-0001 kick 1 spam", "200 kicked id=1 name=\"Eve\"\n"},
        {"moderator-token-0001 stop", "403 Error: a moderator may not give this command\n"},
        {"moderator-token-0002 status", "401 Error: a valid bearer token is needed\n"},
        {"admin-token-00000002 unban 10.1.1.1", "200 Error: 10.1.1.1 is not banned\n"},
        {"admin-token-00000002 say a\nsay b", "400 Error: the body is one command line\n"},
    };
    for (const auto& [request, answer] : cases)
        EXPECT_EQ(Post(http, request.substr(0, 20), request.substr(21)), answer) << request;
    EXPECT_EQ(Ask(server.socket(), "bans").text, "bans=0\n");
    EXPECT_EQ(Post(http, "admin-token-00000002", "stop"), "200 stopping\n");
    EXPECT_EQ(server.process.waitForExit(), 0);
    const std::string audit = ReadFile(ops.path + "/audit");
    for (const char* line : {R"("who":"http:Mia@127.0.0.1","role":"moderator","line":"say hello","allowed":true})",
                             R"("who":"http:Mia@127.0.0.1","role":"moderator","line":"stop","allowed":false})",
                             R"("who":"http:Al@127.0.0.1","role":"admin","line":"stop","allowed":true})"})
        EXPECT_THAT(audit, HasSubstr(line));
    EXPECT_THAT(audit, ::testing::ContainsRegex(R"("who":"socket:uid=[0-9]+,pid=[0-9]+","role":"","line":"bans")"));
    const std::string events = ReadFile(ops.path + "/events");
    // On a busy machine the join and Eve's name may be taken in one pass, and the join then carries her name.
    EXPECT_THAT(events, ::testing::ContainsRegex(R"re("event":"join","id":1,"name":"(unnamed|Eve)","bot":false\})re"));
    for (const char* event : {R"("event":"recording_start")",
                              R"("event":"say","text":"hello","by":"http:Mia@127.0.0.1"})",
                              R"("event":"kick","id":1,"name":"Eve","reason":"spam","by":"http:Mia@127.0.0.1"})",
                              R"("event":"leave","id":1,"name":"Eve"})", R"("event":"recording_stop")"})
        EXPECT_THAT(events, HasSubstr(event));
}

// Under a service manager, READY comes once hosting, and an idle loop still wakes to
// feed the watchdog at half its interval.
TEST(Moderation, a_supervised_server_says_ready_and_feeds_the_watchdog_while_idle)
{
    TempDir dir;
    const std::string path = dir.path + "/notify";
    int socket = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    timeval wait{10, 0};
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    RealServer server({"--players", "4", "--width", "10", "--height", "10", "--rooms", "2", "--weapons", "1"},
                      {"NOTIFY_SOCKET=" + path, "WATCHDOG_USEC=100000"});
    std::vector<std::string> heard;
    char datagram[64];
    for (ssize_t got; heard.size() < 4 && (got = recv(socket, datagram, sizeof datagram, 0)) > 0;)
        heard.emplace_back(datagram, static_cast<size_t>(got));
    EXPECT_THAT(heard, ElementsAre("READY=1", "WATCHDOG=1", "WATCHDOG=1", "WATCHDOG=1"));
    EXPECT_TRUE(server.started);
    close(socket);
}

} // namespace
} // namespace skirmish::testing

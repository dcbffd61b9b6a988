// What operators watch and who may command: the event log, the service manager's
// notifications, the tokens file and what each role may give.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "app/admin_commands.h"
#include "app/event_log.h"
#include "app/operations.h"
#include "app/service_notify.h"
#include "game/insta_weapon.h"
#include "harness.h"
#include "temp_dir.h"

namespace skirmish::testing {
namespace {

using ::testing::ElementsAre;

std::vector<std::string> Lines(const std::string& path)
{
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
        lines.push_back(line.substr(line.find(",\"event\"") + 1)); // the time is the fake clock's
    return lines;
}

// Joins, names, chat, respawns and leaves are read from what the real pass sends, a
// join always first; the server's own lines are not chat; a death names the weapon.
TEST(EventLog, the_pass_logs_each_join_name_chat_respawn_death_and_leave_with_ids_and_names)
{
    TempDir dir;
    ServerHarness server;
    std::string error;
    EventLog log(JsonLines::Open(dir.path + "/events", error), [] { return int64_t{1'700'000'000'123}; });
    server.loop.events = &log;
    const int eve = server.join();
    server.send(eve, command::Name("p"));
    server.send(eve, command::Respawn(0, 0));
    const int bob = server.net->connect("127.0.0.1");
    server.net->send(bob, command::Name("Bob")); // named in the pass that seats it
    server.pass();
    server.send(eve, command::PlayerMessage("gg \xff"));
    log.observe(*server.level, message::PlayerMessage(0, "the server speaks").bytes());
    server.slot(bob).weapon = std::make_unique<InstaWeapon>(30, 0.5f, 2, 10.0f, 1.5f, 0);
    log.observe(*server.level, message::Dead(eve, bob).bytes());
    server.net->disconnect(bob);
    server.pass();
    log.settle();
    EXPECT_THAT(Lines(dir.path + "/events"),
                ElementsAre(R"("event":"join","id":1,"name":"unnamed","bot":false})",
                            R"("event":"name","id":1,"name":"p"})", R"("event":"respawn","id":1})",
                            R"("event":"join","id":2,"name":"Bob","bot":false})",
                            R"("event":"name","id":2,"name":"Bob"})",
                            R"("event":"chat","id":1,"name":"p","text":"gg �"})",
                            R"("event":"death","victim":1,"victim_name":"p","shooter":2,"shooter_name":"Bob",)"
                            R"("weapon":{"damage":30,"period_s":0.5,"shots":2,"spread_deg":10.0,"range_s":1.5}})",
                            R"("event":"leave","id":2,"name":"Bob"})"));
    EXPECT_EQ(UtcTime(1'700'000'000'123), "2023-11-14T22:13:20.123Z");
}

// READY and the keep-alives reach a socket of the test's own; the watchdog's interval
// is halved; one set for another process is left alone; the variables are taken.
TEST(ServiceNotifier, says_ready_and_feeds_the_watchdog_at_half_its_interval_only_for_its_own_process)
{
    TempDir dir;
    const std::string path = dir.path + "/notify";
    int socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    auto received = [&] {
        std::string all;
        char datagram[64];
        for (ssize_t got; (got = recv(socket, datagram, sizeof datagram, 0)) > 0;)
            all += std::string(datagram, static_cast<size_t>(got)) + ";";
        return all;
    };
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
    setenv("WATCHDOG_USEC", "2000000", 1);
    setenv("WATCHDOG_PID", std::to_string(getpid()).c_str(), 1);
    auto notifier = ServiceNotifier::FromEnvironment();
    ASSERT_TRUE(notifier);
    EXPECT_EQ(std::getenv("NOTIFY_SOCKET"), nullptr);
    notifier->ready();
    EXPECT_EQ(notifier->beat(5000), 1000);
    EXPECT_EQ(notifier->beat(5600), 400);
    EXPECT_EQ(notifier->beat(6000), 1000);
    notifier->stopping();
    EXPECT_EQ(received(), "READY=1;WATCHDOG=1;WATCHDOG=1;STOPPING=1;");
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
    setenv("WATCHDOG_USEC", "2000000", 1);
    setenv("WATCHDOG_PID", "1", 1);
    EXPECT_EQ(ServiceNotifier::FromEnvironment()->beat(0), std::nullopt);
    EXPECT_EQ(received(), "");
    close(socket);
}

TEST(AdminTokens, a_tokens_file_is_refused_at_its_first_bad_line_and_each_role_gives_only_its_commands)
{
    const std::pair<std::string, std::string> files[] = {
        {"# ops\n\nmoderator-token-0001 moderator Mia Lee\r\nadmin-token-00000002 admin Al\n", ""},
        {"short admin Al\n", "line 1: a token needs at least 16 characters"},
        {"admin-token-00000002 root Al\n", "line 1: the role must be admin or moderator"},
        {"admin-token-00000002 admin\n", "line 1: the token needs a name, for the audit"},
        {"admin-token-00000002 admin Al\nadmin-token-00000002 moderator Bo\n", "line 2: this token is given twice"},
    };
    for (const auto& [text, why] : files) {
        std::istringstream in(text);
        std::vector<AdminToken> tokens;
        std::string error;
        EXPECT_EQ(ParseAdminTokens(in, tokens, error), why.empty()) << text;
        EXPECT_EQ(error, why) << text;
        if (why.empty()) {
            EXPECT_EQ(tokens[0].name, "Mia Lee");
        }
    }
    const std::tuple<const char*, const char*, bool> gives[] = {
        {"moderator", "status", true}, {"moderator", "say hi", true},  {"moderator", "kick 3 spam", true},
        {"moderator", "ban 3", true},  {"moderator", "unban 1.2.3.4", true}, {"moderator", "bans", true},
        {"moderator", "stop", false},  {"moderator", "help", false},   {"moderator", "launch", false},
        {"admin", "stop", true},       {"", "stop", true},             {"guest", "status", false},
    };
    for (const auto& [role, line, allowed] : gives)
        EXPECT_EQ(MayGive(role, line), allowed) << role << ": " << line;
}

// A port another listener holds is refused at start, said, never taken silently.
TEST(AdminTokens, the_http_endpoint_refuses_an_address_it_cannot_listen_on)
{
    AdminHttp first({}), second({});
    std::string error;
    ASSERT_TRUE(first.open("127.0.0.1", 0, error)) << error;
    EXPECT_FALSE(second.open("127.0.0.1", first.port(), error));
    EXPECT_THAT(error, ::testing::StartsWith("127.0.0.1:" + std::to_string(first.port()) + ": "));
}

} // namespace
} // namespace skirmish::testing

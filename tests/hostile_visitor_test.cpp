// The real binary against one hostile address or client: what it holds or sends
// costs the others nothing they can see. Verdicts are about order and completeness.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio.hpp>

#include <regex>

#include "net/shared/limits.h"
#include "real_binary.h"

namespace skirmish::testing {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

std::string Reply(uint16_t port, const std::string& request)
{
    asio::io_context io;
    tcp::socket socket(io);
    socket.connect({asio::ip::address_v4::loopback(), port});
    asio::write(socket, asio::buffer(request + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
    std::string reply;
    boost::system::error_code ec;
    asio::read(socket, asio::dynamic_buffer(reply), ec);
    return reply.substr(0, reply.find("\r\n"));
}

TEST(HostileVisitor, slow_and_idle_connections_of_one_address_leave_pages_health_and_websockets_to_the_others)
{
    RealServer server;
    ASSERT_TRUE(server.started);
    asio::io_context io;
    std::vector<tcp::socket> held;
    for (int i = 0; i < 200; ++i) {
        held.emplace_back(io, tcp::endpoint(asio::ip::make_address("127.0.0.2"), 0));
        held.back().connect({asio::ip::address_v4::loopback(), server.port});
        asio::write(held.back(), asio::buffer(std::string(i % 2 ? "G" : "GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n")));
    }
    EXPECT_EQ(Reply(server.port, "GET /"), "HTTP/1.1 200 OK");
    EXPECT_EQ(Reply(server.port, "GET /healthz"), "HTTP/1.1 200 OK");
    EXPECT_EQ(Reply(server.port, "HEAD /metrics"), "HTTP/1.1 200 OK");
    Player browser;
    ASSERT_TRUE(browser.connect(server.port, true));
    EXPECT_EQ(browser.waitFor("MOTD"), "MOTD Goes Here");
}

// Sends "PlayerMessage" n for n = 1..count and returns once every one came back.
std::vector<std::string> ChatEchoes(Player& player, const std::string& tag, int count)
{
    std::vector<std::string> echoes;
    size_t scanned = player.got.size(); // every message drained is looked at, however many came at once
    for (int n = 1; n <= count; ++n) {
        player.send(command::PlayerMessage(tag + std::to_string(n)));
        Within(20000, [&] {
            for (player.drain(); scanned < player.got.size(); ++scanned)
                if (player.got[scanned].rfind("PlayerMessage", 0) == 0 && player.got[scanned].find(" " + tag) != std::string::npos)
                    echoes.push_back(player.got[scanned]);
            return echoes.size() >= static_cast<size_t>(n);
        });
    }
    return echoes;
}

TEST(HostileVisitor, a_flood_of_empty_messages_delays_no_one_else_and_writes_a_bounded_console)
{
    RealServer server;
    ASSERT_TRUE(server.started);
    Player enet, web, flooder;
    // One at a time: an ENet client counts itself connected before the server has taken the join.
    ASSERT_TRUE(enet.connect(server.port) && server.process.waitForOutput("Player ID 1 has joined"));
    ASSERT_TRUE(web.connect(server.port, true) && server.process.waitForOutput("Player ID 2 has joined"));
    ASSERT_TRUE(flooder.connect(server.port, true) && server.process.waitForOutput("Player ID 3 has joined"));

    constexpr int kFrames = 32;
    constexpr size_t kFrameBytes = 64 * 1024;
    const auto start = std::chrono::steady_clock::now();
    // The flood goes out as the waits below service every client.
    for (int i = 0; i < kFrames; ++i)
        flooder.client.sendRawPacket(std::vector<uint8_t>(kFrameBytes, 0)); // 32,768 empty messages each
    std::vector<std::string> enetEchoes = ChatEchoes(enet, "e", 20), webEchoes = ChatEchoes(web, "w", 20);
    for (int n = 1; n <= 20; ++n) {
        EXPECT_EQ(enetEchoes.at(n - 1), "PlayerMessage 1 e" + std::to_string(n));
        EXPECT_EQ(webEchoes.at(n - 1), "PlayerMessage 2 w" + std::to_string(n));
    }

    // The flood is handled at the flooder's own rate, each message written or counted,
    // and few are written.
    const std::regex written("message \"\" Sent by P3, but no matching command\n"),
        counted("Player ID 3: ([0-9]+) more lines in one second were not written.\n");
    uint64_t lines = 0, withheld = 0, reports = 0;
    Within(10000, [&] {
        server.process.waitForOutput("\n\n", 200); // reads what came
        const std::string& console = server.process.output();
        lines = std::distance(std::sregex_iterator(console.begin(), console.end(), written), {});
        withheld = reports = 0;
        for (std::sregex_iterator m(console.begin(), console.end(), counted), end; m != end; ++m, ++reports)
            withheld += std::stoull((*m)[1]);
        return reports >= 2;
    });
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GT(lines + withheld, uint64_t{kCommandBurst});
    EXPECT_LE(lines + withheld, kCommandBurst + kMaxCommandsPerSecond * seconds) << "at the flooder's rate";
    EXPECT_GE(lines, 5u) << "the first lines are written";
    EXPECT_LE(lines, 5 * (reports + 1)) << "five a second at most";
}

} // namespace
} // namespace skirmish::testing

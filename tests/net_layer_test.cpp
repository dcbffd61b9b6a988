#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <sstream>
#include <thread>

#include "core/console.h"

#include "net/client.h"
#include "net/memory_transport.h"
#include "protocol/messages.h"
#include "net/net.h"

namespace skirmish {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// The next waiting message, decoded: "from: fields".
std::string NextMessage()
{
    NetMessage message;
    if (!NetGetMessage(message))
        return "none";
    return std::to_string(message.from) + ": " + DecodeMessage(message.bytes).describe();
}

// The server's side of the in-memory transport, driven by the raw Net* calls.
struct MemoryHost : ::testing::Test {
    MemoryTransport* net = nullptr;
    void SetUp() override
    {
        auto transport = std::make_unique<MemoryTransport>();
        net = transport.get();
        NetUseTransport(std::move(transport));
        ASSERT_TRUE(NetHost(4));
    }
    void TearDown() override { NetUseTransport(nullptr); }
};

TEST_F(MemoryHost, ids_are_lowest_free_and_not_reused_before_the_leave_is_taken)
{
    EXPECT_EQ(net->connect(), 1);
    EXPECT_EQ(net->connect(), 2);
    EXPECT_EQ(net->connect(), 3);
    EXPECT_EQ(net->connect(), 0); // four slots: ids 1 to 3
    EXPECT_EQ(NetPlayerJoined(), 1);
    EXPECT_EQ(NetPlayerJoined(), 2);
    EXPECT_EQ(NetPlayerJoined(), 3);
    net->disconnect(2);
    EXPECT_EQ(net->connect(), 0); // 2 is gone but its leave not yet taken
    EXPECT_EQ(NetPlayerLeft(), 2);
    EXPECT_EQ(net->connect(), 2);
}

// Two clients that connect at once and name themselves at once must both keep their names.
TEST_F(MemoryHost, messages_wait_for_their_senders_join_and_keep_their_order)
{
    int a = net->connect();
    int b = net->connect();
    net->send(b, command::Name("bee"));
    net->send(a, command::Name("ay"));
    net->send(a, command::Fire());

    EXPECT_EQ(NetPlayerJoined(), a);
    EXPECT_EQ(NextMessage(), "1: Name ay");
    EXPECT_EQ(NextMessage(), "1: Fire");
    EXPECT_EQ(NextMessage(), "none"); // b's name waits for b's join

    EXPECT_EQ(NetPlayerJoined(), b);
    EXPECT_EQ(NextMessage(), "2: Name bee");
}

// One address must not take every seat of a public server.
TEST_F(MemoryHost, one_address_takes_at_most_its_cap_of_seats_and_gets_them_back_after_leaving)
{
    std::ostringstream console;
    ScopedConsole capture(console);
    NetSetMaxPerAddress(2);
    EXPECT_EQ(net->connect("10.0.0.1"), 1);
    EXPECT_EQ(net->connect("10.0.0.1"), 2);
    EXPECT_EQ(net->connect("10.0.0.1"), 0);
    EXPECT_EQ(net->connect("10.0.0.2"), 3);
    EXPECT_EQ(console.str(), "Connection from 10.0.0.1 refused: 2 players are connected from that address already.\n");
    NetPlayerJoined();
    net->disconnect(1);
    EXPECT_EQ(net->connect("10.0.0.1"), 0); // still seated until the leave is taken
    NetPlayerJoined();
    NetPlayerJoined();
    EXPECT_EQ(NetPlayerLeft(), 1);
    EXPECT_EQ(net->connect("10.0.0.1"), 1);
    NetSetMaxPerAddress(0);
    NetShutdown();
    NetHost(4);
    for (int id = 1; id <= 3; ++id)
        EXPECT_EQ(net->connect("10.0.0.1"), id); // 0: no cap
    NetSetMaxPerAddress(kDefaultMaxPerAddress);
}

TEST_F(MemoryHost, a_leave_is_never_reported_before_its_join)
{
    int id = net->connect();
    net->disconnect(id);
    EXPECT_EQ(NetPlayerLeft(), 0);
    EXPECT_EQ(NetPlayerJoined(), id);
    EXPECT_EQ(NetPlayerLeft(), id);
}

TEST_F(MemoryHost, broadcasts_reach_joined_clients_only_and_a_pass_packs_them_into_few_packets)
{
    int joined = net->connect();
    NetPlayerJoined();
    int waiting = net->connect();
    for (int i = 0; i < 300; ++i)
        NetSendAll(message::ProjMove(i, 1.5f, 2.5f));
    NetService(0);
    EXPECT_EQ(net->received(joined).size(), 300u);
    EXPECT_EQ(net->received(waiting).size(), 0u);
    EXPECT_LE(net->packetsTo(joined), 300u * 24 / 1200 + 2);
    EXPECT_EQ(net->received(joined)[299], "ProjMove 299 1.5f 2.5f");
}

// A client's bytes are arbitrary: every read must stay inside the message.
TEST_F(MemoryHost, hostile_packets_give_zero_values_and_never_overrun)
{
    int id = net->connect();
    NetPlayerJoined();
    const std::vector<uint8_t> hostile[] = {
        {}, {0x05}, {0x02, 0x00}, {0xFF, 0xFF, 0x01, 0xFF, 0xFF}, {0x03, 0x00, 0x01, 0x04, 0x00, 'M', 'o'},
    };
    for (const auto& packet : hostile)
        net->sendRaw(id, packet);
    int messages = 0;
    for (NetMessage message; NetGetMessage(message);) {
        ++messages;
        MessageReader reader(message.bytes);
        EXPECT_EQ(reader.getString(), "");
        EXPECT_EQ(reader.getInt(), 0);
        EXPECT_EQ(reader.getFloat(), 0.0f);
    }
    EXPECT_EQ(messages, 4); // the empty packet and the lone byte carry none; a cut length still ends a message
}

// What the dashboards read: exact counts each way, refusals by reason, players.
TEST_F(MemoryHost, stats_count_messages_and_bytes_each_way_refusals_by_reason_and_players)
{
    std::ostringstream console;
    ScopedConsole capture(console);
    NetSetMaxPerAddress(1);
    int id = net->connect("10.0.0.1");
    net->connect("10.0.0.1");
    net->connect("10.0.0.2");
    net->connect("10.0.0.3");
    net->connect("10.0.0.4");
    NetSetMaxPerAddress(kDefaultMaxPerAddress);
    for (int joins = 0; joins < 3; ++joins)
        NetPlayerJoined();
    net->send(id, command::Fire());
    NetSendAll(message::Left(1));
    const NetStats stats = NetGetStats();
    const std::vector<uint64_t> counts = {stats.messagesIn,    stats.bytesIn,        stats.messagesOut,
                                          stats.bytesOut,      stats.refusedFull,    stats.refusedAddressCap,
                                          stats.droppedStalled, stats.droppedSilent, stats.droppedOversized};
    const uint64_t fire = command::Fire().bytes().size() + 2, left = message::Left(1).bytes().size();
    EXPECT_EQ(counts, (std::vector<uint64_t>{1, fire, 3, 3 * left, 1, 1, 0, 0, 0}));
    EXPECT_EQ(stats.enetPlayers, 3);
    EXPECT_EQ(stats.webPlayers, 0);
}

// Nothing of an old host reaches a new one, where its ids may belong to others.
TEST_F(MemoryHost, a_new_host_starts_with_no_join_leave_or_message_of_the_old_one)
{
    int id = net->connect();
    NetPlayerJoined();
    net->send(id, command::Fire());
    net->disconnect(id);
    net->connect();
    NetShutdown();
    ASSERT_TRUE(NetHost(4));
    EXPECT_EQ(NextMessage(), "none");
    EXPECT_EQ(NetPlayerJoined(), 0);
    EXPECT_EQ(NetPlayerLeft(), 0);
}

TEST_F(MemoryHost, hosting_failure_is_reported_with_the_whole_error_text)
{
    NetShutdown();
    net->failNextOpen(std::string(100, 'e'));
    EXPECT_FALSE(NetHost(4));
    EXPECT_EQ(NetGetError(), std::string(100, 'e'));
    EXPECT_FALSE(NetConnected());
}

// --- Real ENet on loopback. The host binds port 0, so tests never meet a running server.
// The server runs on the test's thread; clients run on one of their own, as they would in their own process.

struct EnetHost : ::testing::Test {
    void SetUp() override
    {
        NetUseTransport(nullptr);
        NetSetPort(0);
    }
    void TearDown() override { NetUseTransport(nullptr); }

    // Services the server until done() or the time runs out.
    static bool ServeUntil(const std::function<bool()>& done, int timeoutMs = 3000)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            NetService(1);
            if (done())
                return true;
        }
        return false;
    }

    // Runs clientSide on its own thread while the server is serviced, until it returns.
    static void WithClients(const std::function<void()>& clientSide)
    {
        std::atomic<bool> finished{false};
        std::thread clients([&] {
            clientSide();
            finished = true;
        });
        ServeUntil([&] { return finished.load(); }, 10000);
        clients.join();
    }

    static bool WaitFor(NetClient& client, const std::function<bool()>& done, int timeoutMs = 3000)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!done() && std::chrono::steady_clock::now() < deadline)
            client.service(1);
        return done();
    }
};

TEST_F(EnetHost, ids_are_lowest_free_and_a_client_past_the_last_id_is_told_full)
{
    ASSERT_TRUE(NetHost(3));
    NetClient a, b, c, d;
    WithClients([&] {
        EXPECT_TRUE(a.connect("127.0.0.1", NetBoundPort(), 2000));
        EXPECT_TRUE(b.connect("127.0.0.1", NetBoundPort(), 2000));
    });
    std::vector<int> joins;
    ASSERT_TRUE(ServeUntil([&] {
        while (int id = NetPlayerJoined())
            joins.push_back(id);
        return joins.size() == 2;
    }));
    EXPECT_THAT(joins, ElementsAre(1, 2));

    WithClients([&] {
        c.connect("127.0.0.1", NetBoundPort(), 2000);
        EXPECT_TRUE(WaitFor(c, [&] { return c.refusedAsFull(); }));
    });
    EXPECT_EQ(NetPlayerJoined(), 0); // the refused client is never a join

    WithClients([&] { a.disconnect(1000); });
    int left = 0;
    ASSERT_TRUE(ServeUntil([&] { return (left = NetPlayerLeft()) != 0; }));
    EXPECT_EQ(left, 1);
    WithClients([&] { EXPECT_TRUE(d.connect("127.0.0.1", NetBoundPort(), 2000)); });
    int rejoined = 0;
    ASSERT_TRUE(ServeUntil([&] { return (rejoined = NetPlayerJoined()) != 0; }));
    EXPECT_EQ(rejoined, 1);
    EXPECT_EQ(NetGetPlayerIP(1), "127.0.0.1");
}

TEST_F(EnetHost, join_messages_and_leave_arrive_in_order_and_replies_reach_the_client)
{
    ASSERT_TRUE(NetHost(4));
    NetClient client;
    WithClients([&] {
        ASSERT_TRUE(client.connect("127.0.0.1", NetBoundPort(), 2000));
        for (int i = 0; i < 50; ++i)
            client.send(command::Move(static_cast<float>(i), 0));
        client.service(0);
    });
    int id = 0;
    ASSERT_TRUE(ServeUntil([&] { return (id = NetPlayerJoined()) != 0; }));
    NetSend(id, message::Greeting());
    std::vector<float> seen;
    ASSERT_TRUE(ServeUntil([&] {
        for (NetMessage message; NetGetMessage(message);) {
            MessageReader reader(message.bytes);
            EXPECT_EQ(reader.getString(), "Move");
            seen.push_back(reader.getFloat());
        }
        return seen.size() == 50;
    }));
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(seen[static_cast<size_t>(i)], static_cast<float>(i));

    WithClients([&] {
        ASSERT_TRUE(client.waitForMessage(2000));
        EXPECT_EQ(client.current().describe(), "MOTD Goes Here");
        client.disconnect(1000);
    });
    int left = 0;
    ASSERT_TRUE(ServeUntil([&] { return (left = NetPlayerLeft()) != 0; }));
    EXPECT_EQ(left, id);
}

TEST_F(EnetHost, final_messages_are_delivered_before_the_disconnect_at_shutdown)
{
    ASSERT_TRUE(NetHost(4));
    NetClient first, second;
    WithClients([&] {
        ASSERT_TRUE(first.connect("127.0.0.1", NetBoundPort(), 2000));
        ASSERT_TRUE(second.connect("127.0.0.1", NetBoundPort(), 2000));
    });
    int joined = 0;
    ASSERT_TRUE(ServeUntil([&] {
        while (NetPlayerJoined())
            ++joined;
        return joined == 2;
    }));

    std::vector<std::string> firstGot, secondGot;
    std::thread clients([&] {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while ((!first.lostConnection() || !second.lostConnection()) && std::chrono::steady_clock::now() < deadline) {
            for (auto [client, got] : {std::pair{&first, &firstGot}, std::pair{&second, &secondGot}}) {
                client->service(1);
                while (client->nextMessage())
                    got->push_back(client->current().describe());
            }
        }
    });
    for (int i = 0; i < 500; ++i)
        NetSendAll(message::ProjMove(i, 0, 0));
    NetSendAll(message::ServerQuit());
    NetShutdown();
    clients.join();
    for (const auto* got : {&firstGot, &secondGot}) {
        ASSERT_EQ(got->size(), 501u);
        EXPECT_EQ(got->back(), "ServerQuit");
    }
    EXPECT_TRUE(first.lostConnection());
    EXPECT_TRUE(second.lostConnection());
}

TEST_F(EnetHost, hosting_on_a_busy_port_fails_with_a_readable_error)
{
    int busy = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(busy, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    getsockname(busy, reinterpret_cast<sockaddr*>(&address), &length);
    uint16_t port = ntohs(address.sin_port);

    NetSetPort(port);
    EXPECT_FALSE(NetHost(4));
    std::string error = NetGetError();
    EXPECT_THAT(error, HasSubstr("Address already in use"));
    EXPECT_THAT(error, HasSubstr(std::to_string(port)));
    close(busy);
    // Once freed, and again after a shutdown, the same port hosts: a closed host lets go of it.
    EXPECT_TRUE(NetHost(4));
    NetShutdown();
    EXPECT_TRUE(NetHost(4));
}

} // namespace
} // namespace skirmish

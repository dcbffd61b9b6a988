// The relay's own behaviour, and the real server on links that lose, delay,
// duplicate and reorder datagrams.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <thread>

#include "net/client.h"
#include "protocol/messages.h"
#include "protocol/names.h"
#include "server_process.h"
#include "tools/relay.h"

namespace skirmish::testing {
namespace {

using Clock = std::chrono::steady_clock;

TEST(Relay, plans_lose_duplicate_delay_and_hold_back_as_told_and_replay_from_the_seed)
{
    const LinkImpairment link{.lossPercent = 10, .delayMs = 40, .jitterMs = 20, .duplicatePercent = 5,
                              .reorderPercent = 3};
    std::mt19937 random(7), again(7);
    int lost = 0, copies = 0, held = 0;
    const int datagrams = 20000;
    for (int i = 0; i < datagrams; ++i) {
        std::vector<double> plan = PlanDelivery(link, random);
        ASSERT_EQ(plan, PlanDelivery(link, again));
        lost += plan.empty();
        copies += static_cast<int>(plan.size());
        for (double delay : plan) {
            ASSERT_GE(delay, 20.0);
            ASSERT_LE(delay, 100.0);
            held += delay > 60.0;
        }
    }
    EXPECT_NEAR(lost, datagrams * 0.10, datagrams * 0.01);
    EXPECT_NEAR(copies - (datagrams - lost), (datagrams - lost) * 0.05, datagrams * 0.01);
    EXPECT_NEAR(held, copies * 0.03, datagrams * 0.01);
    EXPECT_TRUE(PlanDelivery(LinkImpairment{.lossPercent = 100}, random).empty());
}

// Numbered datagrams through a real relay socket: some lost, the rest late and out of order.
TEST(Relay, really_drops_delays_and_reorders_datagrams_on_loopback)
{
    int server = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    getsockname(server, reinterpret_cast<sockaddr*>(&address), &length);
    ImpairmentRelay relay(0, ntohs(address.sin_port), {.lossPercent = 20, .delayMs = 30, .jitterMs = 25}, {}, 3);
    ASSERT_TRUE(relay.ok());

    int client = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to = address;
    to.sin_port = htons(relay.port());
    auto start = Clock::now();
    for (uint32_t i = 0; i < 200; ++i)
        sendto(client, &i, sizeof i, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    std::thread serving([&] { relay.run(400); });
    std::vector<uint32_t> got;
    double firstMs = -1;
    timeval wait{0, 500000};
    setsockopt(server, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    for (uint32_t number; recv(server, &number, sizeof number, 0) == sizeof number;) {
        if (firstMs < 0)
            firstMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        got.push_back(number);
    }
    serving.join();
    close(client);
    close(server);
    EXPECT_EQ(relay.upCounts().in, 200u);
    EXPECT_EQ(got.size(), 200u - relay.upCounts().dropped);
    EXPECT_GT(relay.upCounts().dropped, 20u);
    EXPECT_GE(firstMs, 4.0);
    EXPECT_FALSE(std::is_sorted(got.begin(), got.end()));
}

// One player on its own ENet connection, keeping every message it was sent.
struct Peer {
    NetClient client;
    std::vector<DecodedMessage> got;
    int id = 0;

    void pump()
    {
        client.service(0);
        while (client.nextMessage())
            got.push_back(client.current());
    }
    size_t count(std::string_view name, int who) const
    {
        return std::count_if(got.begin(), got.end(), [&](const DecodedMessage& m) {
            return m.name() == name && m.fields.size() > 1 && m.fields[1].intValue == who;
        });
    }
};

// A real server on its own port behind a relay, and the peers that play through it.
struct ImpairedServer {
    uint16_t port = FreeUdpPort();
    ServerProcess server;
    ImpairmentRelay relay;
    std::vector<std::unique_ptr<Peer>> peers;
    std::atomic<bool> stopping{false};
    std::thread relaying;

    ImpairedServer(int players, LinkImpairment link, uint32_t seed)
        : server({SKIRMISH_SERVER_BINARY, "--players", std::to_string(players), "--width", "20", "--height", "15",
                  "--rooms", "4", "--weapons", "6", "--port", std::to_string(port)}),
          relay(0, port, link, link, seed)
    {
        relaying = std::thread([this] {
            while (!stopping)
                relay.run(20);
        });
    }
    ~ImpairedServer()
    {
        stopping = true;
        relaying.join();
    }

    Peer& join(const std::string& name)
    {
        auto peer = std::make_unique<Peer>();
        bool connected = peer->client.connect("127.0.0.1", relay.port(), 5000);
        EXPECT_TRUE(connected) << name;
        peer->client.send(command::Name(name));
        peers.push_back(std::move(peer));
        Peer& joined = *peers.back();
        serveUntil([&] {
            for (const DecodedMessage& m : joined.got)
                if (m.name() == names::kJoined && m.fields.size() > 2 && m.fields[2].text == name)
                    return (joined.id = m.fields[1].intValue) != 0;
            return false;
        });
        return joined;
    }

    bool serveUntil(const std::function<bool()>& done, int timeoutMs = 10000)
    {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!done() && Clock::now() < deadline) {
            for (auto& peer : peers)
                peer->pump();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return done();
    }
};

// Broadcasts only: what every client is told, in the order it was told.
std::vector<std::string> Broadcasts(const std::vector<DecodedMessage>& got, size_t from)
{
    static const std::set<std::string_view> toOne = {names::kGreeting, names::kHealth,      names::kLevelInfo,
                                                     names::kPlayer,   names::kPlayersDone, names::kProjDone};
    std::vector<std::string> seen;
    bool inSnapshot = false;
    for (size_t i = from; i < got.size(); ++i) {
        const std::string name = got[i].name();
        inSnapshot = (inSnapshot || name == names::kLevelInfo) && name != names::kProjDone;
        if (!inSnapshot && !toOne.count(name) && !got[i].fields.empty() && got[i].fields[0].type == FieldType::Text)
            seen.push_back(got[i].describe());
    }
    return seen;
}

TEST(Impairment, a_lossy_jittery_link_keeps_the_game_whole_for_every_watcher)
{
    ImpairedServer game(16, {.lossPercent = 5, .delayMs = 40, .jitterMs = 20, .duplicatePercent = 1,
                             .reorderPercent = 2},
                        20261207);
    ASSERT_TRUE(game.server.waitForOutput("Server Started.")) << game.server.output();
    std::vector<Peer*> watchers;
    for (int i = 0; i < 3; ++i)
        watchers.push_back(&game.join("watcher-" + std::to_string(i)));
    // Each watcher's stream is compared from the last watcher's "Joined" on.
    const std::string lastJoined = "Joined " + std::to_string(watchers.back()->id) + " watcher-2";
    std::vector<size_t> from(watchers.size(), 0);
    ASSERT_TRUE(game.serveUntil([&] {
        for (size_t w = 0; w < watchers.size(); ++w)
            for (size_t i = 0; i < watchers[w]->got.size() && !from[w]; ++i)
                if (watchers[w]->got[i].describe() == lastJoined)
                    from[w] = i + 1;
        return std::count(from.begin(), from.end(), 0) == 0;
    }));
    std::vector<Peer*> fighters;
    for (int i = 0; i < 12; ++i)
        fighters.push_back(&game.join("fighter-" + std::to_string(i)));

    std::mt19937 random(5);
    std::uniform_real_distribution<float> step(-3, 3), angle(0, 360);
    std::map<Peer*, int> movesSent;
    auto fightUntil = Clock::now() + std::chrono::seconds(8);
    for (int round = 0; Clock::now() < fightUntil; ++round) {
        for (Peer* fighter : fighters) {
            fighter->client.send(command::Move(step(random), step(random)));
            fighter->client.send(command::Rotate(angle(random)));
            if (round % 4 == 0)
                fighter->client.send(command::Fire());
            ++movesSent[fighter];
        }
        game.serveUntil([] { return false; }, 33);
    }
    // Every "Move" is answered: one "Moved" each, beside one per respawn (which also sends "Alive").
    ASSERT_TRUE(game.serveUntil([&] {
        for (Peer* f : fighters)
            if (static_cast<int>(f->count(names::kMoved, f->id) - f->count(names::kAlive, f->id)) < movesSent[f])
                return false;
        return true;
    }, 20000));
    for (Peer* f : fighters)
        EXPECT_EQ(static_cast<int>(f->count(names::kMoved, f->id) - f->count(names::kAlive, f->id)), movesSent[f]);

    // Let every projectile end, then compare what the watchers were told.
    EXPECT_TRUE(game.serveUntil([&] {
        std::vector<std::string> first = Broadcasts(watchers[0]->got, from[0]);
        for (size_t w = 1; w < watchers.size(); ++w)
            if (Broadcasts(watchers[w]->got, from[w]) != first)
                return false;
        return !first.empty();
    }, 20000));
    std::vector<std::string> stream = Broadcasts(watchers[0]->got, from[0]);
    for (size_t w = 1; w < watchers.size(); ++w) {
        std::vector<std::string> other = Broadcasts(watchers[w]->got, from[w]);
        auto [mine, theirs] = std::mismatch(stream.begin(), stream.end(), other.begin(), other.end());
        EXPECT_EQ(mine, stream.end()) << "watcher " << w << " differs at " << (mine - stream.begin()) << " of "
                                      << stream.size() << "/" << other.size() << ": "
                                      << (mine == stream.end() ? "" : *mine) << " vs "
                                      << (theirs == other.end() ? "" : *theirs);
    }
    std::map<int, std::string> lastOf; // projectile id -> last of its messages
    size_t shots = 0;
    for (const std::string& line : stream) {
        std::istringstream fields(line);
        std::string name;
        int id = 0;
        fields >> name >> id;
        if (name == names::kNewProjectile) {
            EXPECT_TRUE(!lastOf.count(id) || lastOf[id] == names::kProjDelete) << "id " << id << " reused while alive";
            ++shots;
        } else if (name == names::kProjMove) {
            EXPECT_TRUE(lastOf[id] == names::kNewProjectile || lastOf[id] == names::kProjMove) << line;
        } else if (name == names::kProjDelete) {
            EXPECT_TRUE(lastOf[id] == names::kNewProjectile || lastOf[id] == names::kProjMove) << line;
        } else {
            EXPECT_NE(name, names::kLeft) << "nobody is dropped";
            continue;
        }
        lastOf[id] = name;
    }
    EXPECT_GT(shots, 50u);
    EXPECT_THAT(game.server.output(), ::testing::Not(::testing::HasSubstr("has left")));
}

// A link that loses a fifth of everything and takes 300 ms each way is awful, not
// dead: the client answers, so it must stay, and must in the end hear everything.
TEST(Impairment, an_honest_client_on_a_very_bad_link_is_never_dropped_and_hears_everything)
{
    ImpairedServer game(4, {.lossPercent = 20, .delayMs = 300}, 99);
    ASSERT_TRUE(game.server.waitForOutput("Server Started.")) << game.server.output();
    Peer reference;
    ASSERT_TRUE(reference.client.connect("127.0.0.1", game.port, 3000));
    reference.client.send(command::Name("reference"));
    Peer& far = game.join("far");
    ASSERT_NE(far.id, 0);
    const std::string joined = "Joined " + std::to_string(far.id) + " far";
    auto streamFrom = [&](const Peer& peer) {
        for (size_t i = 0; i < peer.got.size(); ++i)
            if (peer.got[i].describe() == joined)
                return Broadcasts(peer.got, i);
        return std::vector<std::string>{};
    };

    const auto start = Clock::now();
    auto until = start + std::chrono::seconds(30);
    for (int round = 0; Clock::now() < until && !far.client.lostConnection(); ++round) {
        reference.client.send(command::Move(1, 0));
        if (round % 5 == 0)
            reference.client.send(command::Fire());
        reference.pump();
        game.serveUntil([] { return false; }, 50);
    }
    ASSERT_FALSE(far.client.lostConnection())
        << "dropped after " << std::chrono::duration<double>(Clock::now() - start).count() << " s\n"
        << game.server.output();
    EXPECT_TRUE(game.serveUntil([&] {
        reference.pump();
        return streamFrom(far) == streamFrom(reference);
    }, 60000));
    EXPECT_GT(streamFrom(reference).size(), 1000u);
    EXPECT_EQ(streamFrom(far).size(), streamFrom(reference).size());
    EXPECT_TRUE(far.client.connected());
    EXPECT_FALSE(far.client.lostConnection());
    EXPECT_THAT(game.server.output(), ::testing::Not(::testing::HasSubstr("has left")));
}

} // namespace
} // namespace skirmish::testing

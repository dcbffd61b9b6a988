// The network layer: ids, joins and leaves, batching and counts on the in-memory
// transport; then ENet on loopback, with hostile and broken clients.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <sstream>
#include <thread>

#include "app/main_loop.h"
#include "game/timers.h"
#include "harness.h"
#include "loopback.h"

namespace skirmish::testing {
namespace {

// The next waiting message, decoded: "from: fields".
std::string NextMessage()
{
    NetMessage message;
    if (!NetGetMessage(message))
        return "none";
    return std::to_string(message.from) + ": " + DecodeMessage(message.bytes).describe();
}

// One packet of count Fire commands.
Bytes Flood(int count)
{
    Bytes packet;
    PacketPacker packer(SIZE_MAX, WireVersion::V1);
    for (int i = 0; i < count; ++i)
        packer.add(command::Fire().bytes(), [](Bytes&&) {});
    packer.flush([&](Bytes&& whole) { packet = std::move(whole); });
    return packet;
}

// The server's side of the in-memory transport, driven by the raw Net* calls.
struct MemoryHost : ::testing::Test {
    ServerHarness server{4};
    MemoryTransport* net = server.net;
};

// Ids are the lowest free, never reused before the leave is taken, and a leave never comes before its join.
TEST_F(MemoryHost, ids_are_lowest_free_and_not_reused_before_the_leave_is_taken)
{
    for (int expected : {1, 2, 3, 0}) // four slots: ids 1 to 3
        EXPECT_EQ(net->connect(), expected);
    net->disconnect(1);
    EXPECT_EQ(NetPlayerLeft(), 0);
    for (int expected : {1, 2, 3})
        EXPECT_EQ(NetPlayerJoined(), expected);
    EXPECT_EQ(net->connect(), 0); // 1 is gone but its leave not yet taken
    EXPECT_EQ(NetPlayerLeft(), 1);
    EXPECT_EQ(net->connect(), 1);
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

    // The input cap counts what a client sent, not what its compact layout expands to.
    int compact = net->connect("127.0.0.1", Role::Player, WireVersion::V2);
    net->send(compact, command::Fire());
    EXPECT_EQ(net->waitingInput(compact), 2u); // a length byte and an index; as version 1, 9 bytes
    EXPECT_EQ(NetPlayerJoined(), compact);
    EXPECT_EQ(NextMessage(), "3: Fire");
    EXPECT_EQ(net->waitingInput(compact), 0u);
}

// One address must not take every seat of a public server. Nothing of an old host
// (seats, joins, leaves, messages) reaches a new one, where its ids may belong to others.
TEST_F(MemoryHost, one_address_takes_at_most_its_cap_of_seats_until_it_leaves_and_a_new_host_starts_afresh)
{
    NetSetMaxPerAddress(2);
    EXPECT_EQ(net->connect("10.0.0.1"), 1);
    EXPECT_EQ(net->connect("10.0.0.1"), 2);
    for (int i = 0; i < 7; ++i) // five lines a second: two withheld, counted ahead of the next second's first
        EXPECT_EQ(net->connect("10.0.0.1"), 0);
    server.clock.advance(1000);
    EXPECT_EQ(net->connect("10.0.0.1"), 0);
    EXPECT_EQ(net->connect("10.0.0.2"), 3);
    const std::string refused = "Connection from 10.0.0.1 refused: 2 players are connected from that address already.";
    std::vector<std::string> lines(LineBudget::kLinesPerSecond, refused);
    lines.insert(lines.end(), {"2 more refused connections in one second were not written.", refused});
    EXPECT_EQ(server.consoleLines(), lines);
    NetPlayerJoined();
    net->disconnect(1);
    EXPECT_EQ(net->connect("10.0.0.1"), 0); // still seated until the leave is taken
    NetPlayerJoined();
    NetPlayerJoined();
    EXPECT_EQ(NetPlayerLeft(), 1);
    EXPECT_EQ(net->connect("10.0.0.1"), 1);
    net->send(2, command::Fire());
    net->disconnect(3);
    net->connect("10.0.0.3", Role::Spectator);
    NetSetMaxPerAddress(0);
    NetShutdown();
    ASSERT_TRUE(NetHost(4));
    EXPECT_EQ(std::tuple(NextMessage(), NetPlayerJoined(), NetPlayerLeft(), NetSpectatorJoined()),
              std::tuple("none", 0, 0, 0));
    for (int id = 1; id <= 3; ++id)
        EXPECT_EQ(net->connect("10.0.0.1"), id); // 0: no cap
    NetSetMaxPerAddress(kDefaultMaxPerAddress);
}

// A loud client is handled at its rate, a burst and then 100 a second, while a quiet
// one is served at once; every command of the loud one comes in the end, in order.
TEST_F(MemoryHost, a_clients_commands_are_handled_at_its_rate_in_order_and_none_is_lost)
{
    int loud = net->connect(), quiet = net->connect();
    NetPlayerJoined();
    NetPlayerJoined();
    for (int i = 0; i < 100; ++i)
        net->send(loud, command::PlayerMessage(std::to_string(i)));
    net->send(quiet, command::Fire());
    std::vector<std::string> expected;
    for (int i = 0; i < 100; ++i)
        expected.push_back("1: PlayerMessage " + std::to_string(i));
    expected.insert(expected.begin() + 1, "2: Fire");
    std::vector<std::string> handled;
    for (auto [advanceMs, count] : {std::pair(0, 61), {100, 10}, {0, 0}, {9, 0}, {1, 1}, {1000, 29}}) {
        server.clock.advance(advanceMs);
        size_t before = handled.size();
        for (std::string next; (next = NextMessage()) != "none";)
            handled.push_back(next);
        EXPECT_EQ(handled.size() - before, static_cast<size_t>(count)) << "after " << advanceMs << " ms";
    }
    EXPECT_EQ(handled, expected);
}

// A client sending moves and turns every frame is never held back, nor one mixing in
// shots; a flood waits at most a second behind its budget: the rest is dropped on
// arrival and the flooder told, never left to lag further and further behind.
TEST_F(MemoryHost, no_client_waits_over_a_second_behind_its_budget_and_what_would_is_dropped_and_told)
{
    struct Case {
        int moves, others; // a second, evenly spread
        int mostWaitMs;
        bool drops;
        WireVersion version = WireVersion::V1; // each version's moves are told apart from other commands
    };
    for (Case c : {Case{288, 0, 0, false}, {288, 0, 0, false, WireVersion::V3}, {120, 20, 0, false, WireVersion::V2},
                   {60, 90, 0, false}, {400, 0, 1000, true}, {0, 250, 1000, true}}) {
        NetShutdown();
        ASSERT_TRUE(NetHost(4));
        int id = net->connect("127.0.0.1", Role::Player, c.version);
        NetPlayerJoined();
        int sent = 0, mostWaitMs = 0, handled = 0;
        std::vector<int> sentAt;
        const int perSecond = c.moves + c.others;
        for (int ms = 0; ms < 10000; ++ms, server.clock.advance(1)) { // sent for 8 s, then drained and told
            for (; ms < 8000 && sent * 1000 < ms * perSecond; ++sent) {
                bool move = sent % perSecond < c.moves;
                sentAt.push_back(ms);
                net->send(id, move ? command::Move(static_cast<float>(sent), 0) : command::PlayerMessage(std::to_string(sent)));
            }
            for (NetMessage m; NetGetMessage(m);) {
                DecodedMessage taken = DecodeMessage(m.bytes);
                int n = taken.name() == "Move" ? static_cast<int>(taken.fields[1].floatValue) : std::stoi(taken.fields[1].text);
                mostWaitMs = std::max(mostWaitMs, ms - sentAt[n]);
                ++handled;
            }
            NetService(0);
        }
        const uint64_t dropped = NetGetStats().commandsDropped;
        EXPECT_LE(mostWaitMs, c.mostWaitMs) << c.moves << " moves and " << c.others << " others a second";
        EXPECT_EQ(dropped > 0, c.drops) << c.moves << " moves and " << c.others << " others a second";
        EXPECT_EQ(handled + dropped, static_cast<uint64_t>(sent)); // each one handled or dropped, none lost
        const std::string prefix = "PlayerMessage 0 Too many commands: ";
        int notices = 0;
        uint64_t toldDropped = 0;
        for (const std::string& m : net->received(id)) {
            if (m.starts_with(prefix)) {
                ++notices;
                toldDropped += std::stoull(m.substr(prefix.size()));
            }
        }
        EXPECT_EQ(toldDropped, dropped) << "every drop told";
        EXPECT_EQ(notices > 0, c.drops);
        EXPECT_LE(notices, 9) << "at most one a second";
    }
}

// Records how long each service may wait for traffic, in the clock's readings (a wait
// ends as a reading turns, so it is up to one reading shorter than their count); it
// carries no client of its own.
struct WaitRecorder final : Transport {
    bool open(uint16_t, int, TransportEvents& e, std::string&) override
    {
        events = &e;
        return true;
    }
    bool isOpen() const override { return events != nullptr; }
    void service(std::chrono::microseconds timeout, bool) override
    {
        waits.push_back(timeout.count() < 0 ? -1 : static_cast<int>((timeout.count() + 999) / 1000));
    }
    void sendPacket(int, Bytes&&) override {}
    void close() override { events = nullptr; }
    void endConnection(int, const Farewell&) override {}
    uint16_t boundPort() const override { return 0; }
    TransportEvents* events = nullptr;
    std::vector<int> waits;
};

// An idle host sleeps until traffic comes, but no later than a resting client's next
// command is earned or the spectators' feed packet is due.
TEST_F(MemoryHost, an_idle_wait_ends_when_a_resting_clients_command_or_the_spectators_packet_is_due)
{
    auto recorder = std::make_unique<WaitRecorder>();
    WaitRecorder& host = *recorder;
    NetUseTransport(std::move(recorder));
    ASSERT_TRUE(NetHost(4));
    const int loud = host.events->onConnect("10.0.0.1", {});
    host.events->onConnect("10.0.0.2", {Role::Spectator});
    NetPlayerJoined();
    NetSpectatorJoined();
    NetService(kWaitForTraffic);
    host.events->onPacket(loud, Flood(kCommandBurst + 1));
    for (NetMessage m; NetGetMessage(m);) {
    }
    server.clock.advance(4); // the burst is spent: the last command is earned 10 ms after it
    NetService(kWaitForTraffic);
    NetSendAll(message::Left(1));
    server.clock.advance(6);
    EXPECT_EQ(NextMessage(), "1: Fire");
    NetService(kWaitForTraffic);
    EXPECT_EQ(host.waits, (std::vector<int>{kWaitForTraffic, 6, kSpectatorFeedMs - 6}));
}

// A connection's queued commands die with it: nothing from it is handled after its
// leave, and its seat is free at once, however much it had queued.
TEST_F(MemoryHost, a_departed_clients_queued_commands_die_with_it_and_its_seat_is_free_at_once)
{
    int gone = net->connect(), stays = net->connect();
    NetPlayerJoined();
    NetPlayerJoined();
    for (int i = 0; i < 200; ++i)
        net->send(gone, command::Name("Zombie"));
    EXPECT_EQ(NextMessage(), "1: Name Zombie");
    net->send(stays, command::Fire());
    net->disconnect(gone);
    EXPECT_EQ(NextMessage(), "2: Fire");
    EXPECT_EQ(NextMessage(), "none");
    EXPECT_EQ(NetPlayerLeft(), gone);
    EXPECT_EQ(net->connect(), gone);
    EXPECT_EQ(NetPlayerJoined(), gone);
    EXPECT_EQ(NextMessage(), "none");
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

// What the dashboards read: exact counts each way, refusals by reason, players.
TEST_F(MemoryHost, stats_count_messages_and_bytes_each_way_refusals_by_reason_and_players)
{
    NetSetMaxPerAddress(1);
    int id = net->connect("10.0.0.1");
    for (const char* address : {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4"})
        net->connect(address);
    NetSetMaxPerAddress(kDefaultMaxPerAddress);
    for (int joins = 0; joins < 3; ++joins)
        NetPlayerJoined();
    constexpr int flood = kCommandBurst + kMaxCommandsPerSecond * kMaxCommandDelayMs / 1000 + 1; // one too many
    net->sendRaw(id, Flood(flood));
    NetSendAll(message::Left(1));
    const NetStats stats = NetGetStats();
    const std::vector<uint64_t> counts = {stats.messagesIn,     stats.bytesIn,       stats.commandsDropped, stats.messagesOut,
                                          stats.bytesOut,       stats.refusedFull,   stats.refusedAddressCap,
                                          stats.droppedStalled, stats.droppedSilent, stats.droppedOversized,
                                          uint64_t(stats.enetPlayers), uint64_t(stats.webPlayers)};
    const uint64_t fire = command::Fire().bytes().size() + 2, left = message::Left(1).bytes().size();
    EXPECT_EQ(counts, (std::vector<uint64_t>{flood, flood * fire, 1, 3, 3 * left, 1, 1, 0, 0, 0, 3, 0}));
}

// What players and spectators received in one scripted match on the fake clock.
struct MatchStreams {
    std::vector<Bytes> players;                // every byte, for each player
    std::vector<std::string> bystanderFight;   // what an unhurt player was told once the fight began
    std::vector<std::string> firstWatcherFight; // what the first spectator was told then
};

// Two players fight beside a bystander while up to `spectators` watch, come, go and send
// junk; the bystander and the spectators speak the wire version given.
MatchStreams PlayMatch(int spectators, WireVersion bystanderSpeaks = WireVersion::V1,
                       WireVersion watchersSpeak = WireVersion::V1)
{
    ServerHarness server{5};
    MemoryTransport& net = *server.net;
    std::vector<int> watchers;
    auto watch = [&] {
        if (static_cast<int>(watchers.size()) < spectators)
            watchers.push_back(net.connect("127.0.0.1", Role::Spectator, watchersSpeak));
    };
    watch();
    int shooter = server.joinAlive(100, 100);
    int target = server.joinAlive(100, -300);
    int bystander = server.joinAlive(400, 400, bystanderSpeaks);
    watch();
    server.clock.advance(2 * kSpectatorFeedMs); // what spectators were sent so far goes out
    server.pass();
    const size_t bystanderFrom = net.received(bystander).size();
    const size_t watcherFrom = spectators ? net.received(watchers[0]).size() : 0;
    server.clock.advance(600 - 2 * kSpectatorFeedMs); // the weapon is ready
    server.send(shooter, command::Fire());
    for (int tick = 0; tick < 40; ++tick) {
        server.clock.advance(17);
        if (tick == 5)
            for (int watcher : watchers)
                net.send(watcher, command::Fire());
        if (tick == 10 && watchers.size() > 1)
            net.disconnect(watchers.back());
        if (tick == 12)
            watch();
        server.pass();
    }
    server.send(target, command::PlayerMessage("gg"));
    server.clock.advance(2 * kSpectatorFeedMs);
    server.pass();
    MatchStreams streams{{net.bytesTo(shooter), net.bytesTo(target)}, {}, {}};
    if (bystanderSpeaks == WireVersion::V1)
        streams.players.push_back(net.bytesTo(bystander));
    auto from = [&](int id, size_t first) {
        std::vector<std::string> all = net.received(id);
        return std::vector<std::string>(all.begin() + static_cast<ptrdiff_t>(first), all.end());
    };
    streams.bystanderFight = from(bystander, bystanderFrom);
    if (spectators)
        streams.firstWatcherFight = from(watchers[0], watcherFrom);
    return streams;
}

// Spectators leave every player's bytes unchanged and are told every message to all in
// order. Each message to all is laid out once a version: clients of the other version see
// the same messages in the same order, and a version 1 client the very bytes it always did.
TEST(WireVersions, spectators_and_clients_of_both_versions_are_told_the_same_and_players_bytes_stay_unchanged)
{
    MatchStreams alone = PlayMatch(0), watched = PlayMatch(3), mixed = PlayMatch(3, WireVersion::V2, WireVersion::V2);
    EXPECT_EQ(watched.players, alone.players);
    ASSERT_GT(alone.bystanderFight.size(), 30u); // the shot's flight, the hit and the chat
    EXPECT_EQ(watched.firstWatcherFight, watched.bystanderFight);
    alone.players.pop_back(); // the bystander's, which spoke version 2 in the mixed match
    EXPECT_EQ(mixed.players, alone.players);
    EXPECT_EQ(mixed.bystanderFight, alone.bystanderFight);
    EXPECT_EQ(mixed.firstWatcherFight, alone.bystanderFight);
}

// What a story is made of, whatever the version told it: every event in order, each
// projectile's steps, and where each player was last seen. States supersede one another,
// so a version 3 client may see fewer of another player's intermediate moves.
struct Story {
    std::vector<std::string> events;
    std::map<std::string, std::vector<std::string>> steps; // by projectile id
    std::map<std::string, std::string> lastSeen;           // by player id: its last "Moved"
    bool operator==(const Story&) const = default;
};

Story StoryOf(const std::vector<std::string>& stream)
{
    Story story;
    for (const std::string& line : stream) {
        std::istringstream words(line);
        std::string name, id;
        words >> name >> id;
        if (name == "ProjMove")
            story.steps[id].push_back(line);
        else if (name == "Moved")
            story.lastSeen[id] = line;
        else if (name != "Rotated")
            story.events.push_back(line);
    }
    return story;
}

// Version 3 clients in the match change no byte that version 1 players receive, and each
// rebuilds the story a version 1 bystander is told: the same events, every projectile step
// to the bit, the same last positions.
TEST(WireVersions, version_3_clients_rebuild_version_1s_story_and_change_no_other_players_byte)
{
    MatchStreams alone = PlayMatch(0), mixed = PlayMatch(3, WireVersion::V3, WireVersion::V3);
    alone.players.pop_back();
    EXPECT_EQ(mixed.players, alone.players);
    const Story told = StoryOf(alone.bystanderFight);
    ASSERT_FALSE(told.steps.empty());
    EXPECT_EQ(StoryOf(mixed.bystanderFight), told);
    EXPECT_EQ(StoryOf(mixed.firstWatcherFight), told);
}

// The stream of a client from its snapshot's first message to its last.
std::vector<std::string> Snapshot(const std::vector<std::string>& stream)
{
    auto first = std::find(stream.begin(), stream.end(), "LevelInfo 3 10 10 5");
    auto last = std::find(first, stream.end(), "ProjDone");
    return {first, last == stream.end() ? last : last + 1};
}

// A spectator arriving mid-fight sees the world a newly named player sees, then the same messages.
TEST(Spectators, one_arriving_mid_fight_is_told_what_a_player_naming_itself_then_is_told)
{
    ServerHarness server{5};
    int shooter = server.joinAlive(100, 100);
    server.clock.advance(600);
    server.send(shooter, command::Fire());
    server.clock.advance(50);
    server.pass();
    int late = server.join();
    server.send(late, command::Name("late"));
    int watcher = server.net->connect("127.0.0.1", Role::Spectator);
    server.pass();
    const std::vector<std::string> seen = Snapshot(server.received(late));
    EXPECT_EQ(server.received(watcher), seen);
    EXPECT_THAT(seen, ::testing::Contains(::testing::StartsWith("NewProjectile ")));
    server.net->clearReceived();
    server.clock.advance(17);
    server.pass();
    // The feed holds a tick's messages and spreads its writes over the next tick.
    EXPECT_TRUE(server.received(watcher).empty());
    for (int tick = 1; tick < 10; ++tick) {
        server.clock.advance(17);
        server.pass();
    }
    NetShutdown(); // delivers what spectators have not been sent yet
    EXPECT_THAT(server.received(watcher), ::testing::Contains(::testing::StartsWith("ProjMove ")));
    EXPECT_EQ(server.received(watcher), server.received(late));
}

TEST(Spectators, are_capped_apart_from_seats_each_with_its_own_address_cap_and_come_and_go_unannounced)
{
    NetSetMaxSpectators(2);
    ServerHarness server{3}; // players 1 and 2, spectators 3 and 4
    NetSetMaxSpectators(kDefaultMaxSpectators);
    MemoryTransport& net = *server.net;
    NetSetMaxPerAddress(1);
    NetSetMaxSpectatorsPerAddress(1);
    EXPECT_EQ(net.connect("10.0.0.1", Role::Spectator), 3);
    EXPECT_EQ(net.connect("10.0.0.1", Role::Spectator), 0);
    EXPECT_EQ(net.connect("10.0.0.2", Role::Spectator), 4);
    EXPECT_EQ(net.connect("10.0.0.3", Role::Spectator), 0);
    EXPECT_EQ(server.join("10.0.0.1"), 1); // its spectator takes no player's place
    EXPECT_EQ(server.join("10.0.0.1"), 0);
    EXPECT_EQ(server.console.str(), "Connection from 10.0.0.1 refused: 1 spectators are connected from that address already.\n"
                                    "Player ID 1 has joined the game from 10.0.0.1\n"
                                    "Connection from 10.0.0.1 refused: 1 players are connected from that address already.\n");
    NetSetMaxPerAddress(kDefaultMaxPerAddress);
    NetSetMaxSpectatorsPerAddress(kDefaultMaxSpectatorsPerAddress);
    net.send(3, command::Name("x"));
    net.sendRaw(3, Bytes{0, 0, 0, 0});
    net.disconnect(4);
    server.pass();
    EXPECT_EQ(net.connect("10.0.0.2", Role::Spectator), 4);
    server.pass();
    EXPECT_THAT(server.received(1), ::testing::ElementsAre("MOTD Goes Here"));
    const NetStats stats = NetGetStats();
    EXPECT_EQ(std::vector<uint64_t>({stats.refusedSpectatorsFull, stats.refusedAddressCap, stats.refusedFull,
                                     stats.spectatorMessagesIgnored, uint64_t(stats.enetSpectators)}),
              std::vector<uint64_t>({1, 2, 0, 3, 2}));
}

using EnetHost = LoopbackHost;
using Clock = std::chrono::steady_clock;

TEST_F(EnetHost, final_messages_are_delivered_before_the_disconnect_at_shutdown)
{
    ASSERT_TRUE(NetHost(4));
    NetClient first, second;
    ASSERT_TRUE(JoinTwo(first, second));
    std::vector<std::string> firstGot, secondGot;
    std::thread clients([&] {
        Within(5000, [&] {
            for (auto [client, got] : {std::pair{&first, &firstGot}, std::pair{&second, &secondGot}})
                for (client->service(1); client->nextMessage();)
                    got->push_back(client->current().describe());
            return first.lostConnection() && second.lostConnection();
        });
    });
    // More than ENet is handed at once: the last of them wait in the server's own queue at the stop.
    for (int i = 0; i < 6000; ++i)
        NetSendAll(message::ProjMove(i, 0, 0));
    NetSendAll(message::ServerQuit());
    NetShutdown();
    clients.join();
    for (const auto* got : {&firstGot, &secondGot}) {
        ASSERT_EQ(got->size(), 6001u);
        EXPECT_EQ(got->back(), "ServerQuit");
    }
    EXPECT_TRUE(first.lostConnection() && second.lostConnection());
}

// One client, and a crowd of spectators, stop reading while the server broadcasts at
// full rate: each is dropped as stalled, and the client that keeps reading gets everything.
TEST_F(EnetHost, a_stalled_client_is_dropped_and_the_others_keep_receiving)
{
    ASSERT_TRUE(NetHost(8));
    NetClient reader, stalled, crowd[4];
    ASSERT_TRUE(JoinTwo(reader, stalled));
    for (NetClient& spectator : crowd)
        ASSERT_TRUE(WhileServing([&] { return spectator.connect("127.0.0.1", NetBoundPort(), 2000, 1, Role::Spectator); }));
    std::atomic<bool> stop{false};
    std::atomic<int> ticksSeen{0};
    std::thread readerThread([&] {
        while (!stop)
            for (reader.service(1); reader.nextMessage();)
                ticksSeen += reader.getString() == "Tick";
    });
    MessageWriter padding, tick;
    padding.putString(std::string(100, 'p'));
    tick.putString("Tick");
    int left = 0, ticksSent = 0;
    Within(15000, [&, next = Clock::now()]() mutable {
        if (Clock::now() >= next) {
            next += std::chrono::milliseconds(17);
            for (int i = 0; i < 200; ++i) // about 1.3 MB/s to each client
                NetSendAll(padding);
            NetSendAll(tick);
            ++ticksSent;
        }
        NetService(1);
        while (NetSpectatorJoined() != 0) {
        }
        return (left = left ? left : NetPlayerLeft()) != 0 && NetGetStats().enetSpectators == 0;
    });
    ServeUntil([&] { return ticksSeen == ticksSent; }, 10000);
    stop = true;
    readerThread.join();
    EXPECT_EQ(left, 2);
    EXPECT_TRUE(reader.connected());
    EXPECT_GT(ticksSent, 20);
    EXPECT_EQ(ticksSeen, ticksSent);
    EXPECT_EQ(NetGetStats().droppedStalled, 5u);
}

// Counts what one pass handled: each "Move" of the flood is answered by one "Moved".
struct CountingOutbox final : Outbox {
    size_t sent = 0;
    void toPlayer(int id, const MessageWriter& message) override { ++sent, NetSend(id, message); }
    void toAll(const MessageWriter& message) override { ++sent, NetSendAll(message); }
};

// A flood of commands cannot hold the loop: however fast it comes, one client is
// handled at its rate, a burst at most in one pass.
TEST_F(EnetHost, a_flooding_client_gets_a_bounded_batch_per_pass)
{
    ASSERT_TRUE(NetHost(8));
    std::ostringstream console;
    ScopedConsole quiet(console);
    Level level(2, 10, 10, 1, 8);
    LoopState loop{ReadClock()};
    CountingOutbox out;
    NetInbox in;
    NetClient flooder;
    ASSERT_TRUE(WhileServing([&] { return flooder.connect("127.0.0.1", NetBoundPort(), 2000); }));
    std::atomic<bool> stop{false};
    std::thread floodThread([&] {
        for (MessageWriter move = command::Move(0.25f, 0); !stop; flooder.service(0))
            for (int i = 0; i < 500; ++i)
                flooder.send(move);
    });
    int64_t largestBatch = 0;
    size_t total = 0;
    const auto start = Clock::now();
    Within(2000, [&] {
        out.sent = 0;
        const int32_t passStart = ReadClock();
        bool tookInput = RunPass(level, loop, InstalledClock(), in, out);
        // What the pass itself lasted earns credit too (a slow build's pass takes milliseconds).
        const int64_t earned = (ElapsedMs(ReadClock(), passStart) + 1) * kMaxMovesPerSecond / 1000 + 1;
        largestBatch = std::max(largestBatch, static_cast<int64_t>(out.sent) - earned);
        total += out.sent;
        tookInput ? NetCollect(kInputBatchMs) : NetService(kMovementTickMs);
        return false;
    });
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    stop = true;
    floodThread.join();
    EXPECT_GT(total, 0u);
    EXPECT_LE(total, kMoveBurst + kMaxMovesPerSecond * seconds + 1);
    EXPECT_LE(largestBatch, kMoveBurst);
}

// Empty and garbage packets are dropped or read as zero values; a packet past the
// size cap is refused without being gathered (it blocks only its own sender's
// reliable stream); the server and its other clients go on.
TEST_F(EnetHost, odd_packets_and_channel_counts_leave_the_server_working)
{
    ASSERT_TRUE(NetHost(8));
    NetClient odd, wide;
    ASSERT_TRUE(JoinTwo(odd, wide, 255));
    std::thread sending([&] {
        odd.sendRawPacket({});
        odd.sendRawPacket(std::vector<uint8_t>{0xFF, 0xFF, 0x01, 0xFF, 0xFF, 0x07});
        odd.send(command::Fire());
        for (int i = 0; i < 50; ++i)
            odd.service(2);
        odd.sendRawPacket(std::vector<uint8_t>(200 * 1024, 0x01));
        for (int i = 0; i < 50; ++i)
            odd.service(2);
        wide.send(command::Name("wide"));
        for (int i = 0; i < 200; ++i)
            odd.service(2), wide.service(2);
    });
    std::vector<std::string> words;
    ServeUntil([&] {
        for (NetMessage message; NetGetMessage(message);)
            words.push_back(MessageReader(message.bytes).getString());
        return words.size() >= 3;
    }, 3000);
    sending.join();
    EXPECT_THAT(words, ::testing::UnorderedElementsAre("", "Fire", "Name")); // the garbage reads as an empty word
    EXPECT_TRUE(wide.connected());
    EXPECT_TRUE(NetConnected());
}

} // namespace
} // namespace skirmish::testing

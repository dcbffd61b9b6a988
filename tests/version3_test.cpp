// Wire version 3: projectiles a client flies to the server's bits, and motion as state
// that converges whatever is lost, late or repeated.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <map>
#include <random>

#include "game/flight.h"
#include "net/server/motion_state.h"
#include "protocol/compact.h"
#include "protocol/messages.h"
#include "protocol/version3.h"
#include "harness.h"

namespace skirmish {
namespace {

using testing::KnownLevel;

// Headings across the circle, 5° apart, and spreads that are no whole degree, 10,000 ticks:
// the client's flight from what row 19 carries is the server's, bit for bit, each tick.
TEST(Version3Flight, every_heading_flies_to_the_servers_bits_for_ten_thousand_ticks)
{
    KnownLevel game(2, 1, 10, 10, 0);
    std::vector<float> headings;
    for (int degree = 0; degree < 360; degree += 5)
        headings.push_back(static_cast<float>(degree));
    for (float odd : {0.1f, -45.5f, 89.99999f, 359.9999f, 720.25f, 1e-7f, -0.0f, 12345.678f})
        headings.push_back(odd);
    v3::Follower client;
    std::vector<Bytes> flown;
    for (size_t i = 0; i < headings.size(); ++i) {
        Projectile projectile;
        projectile.id = static_cast<int32_t>(i + 1);
        projectile.angle = headings[i];
        projectile.x = 0.5f + static_cast<float>(i);
        projectile.y = -3.25f * static_cast<float>(i);
        game.level->entities.projectiles.push_back(projectile);
        Bytes row;
        v3::Encode(message::NewProjectile(projectile.id, projectile.x, projectile.y, 3).withFlight(FlightOf(projectile, game.level->entities)), row);
        client.message(row, flown);
    }
    struct Steps final : Outbox {
        void toPlayer(int, const MessageWriter&) override {}
        void toAll(const MessageWriter& message) override { sent.push_back(message.bytes()); }
        std::vector<Bytes> sent;
    } server;
    for (int tick = 1; tick <= 10000; ++tick) {
        server.sent.clear();
        flown.clear();
        MoveProjectiles(*game.level, server);
        client.state(v3::State{static_cast<uint32_t>(tick), game.level->entities.movementTicks, {}, true}, flown);
        ASSERT_EQ(flown, server.sent) << "tick " << tick;
    }
}

// Through the whole loop: each tick taken reaches the states, so a version 3 client
// flies a projectile while it lives, not all at once at its removal.
TEST(Version3Flight, a_client_flies_each_projectile_as_the_loop_takes_its_ticks)
{
    testing::ServerHarness server{4};
    int watcher = server.joinAlive(400, 400, WireVersion::V3);
    int shooter = server.joinAlive(100, 100);
    server.clock.advance(600);
    server.send(shooter, command::Fire());
    for (int tick = 0; tick < 3; ++tick) {
        server.clock.advance(17);
        server.pass();
    }
    EXPECT_THAT(server.received(watcher), ::testing::Contains(::testing::StartsWith("ProjMove ")));
    EXPECT_THAT(server.received(watcher), ::testing::Not(::testing::Contains(::testing::StartsWith("ProjDelete "))));
}

// One client's view of the state, on the fake clock, through a link that loses what the test says.
struct StateLink {
    MotionWorld world;
    MotionLink link{1}; // player 1's
    v3::Follower client;
    std::vector<std::string> told;
    std::map<int, std::pair<float, float>> positions; // as the client has them
    size_t lastBytes = 0;
    int32_t now = 5000;

    explicit StateLink(int players)
    {
        world.reset(128);
        for (int id = 2; id <= players; ++id)
            join(id);
    }
    void join(int id)
    {
        std::vector<Bytes> ignored;
        client.message(compact::Encode(message::Joined(id, "p").bytes()), ignored);
    }
    void toAll(const MessageWriter& message)
    {
        int subject = 0;
        world.observe(message.bytes(), subject);
    }
    // The next state due, 16 ms on.
    std::optional<v3::State> next()
    {
        now += kStateIntervalMs;
        auto bytes = link.build(world, now);
        lastBytes = bytes ? bytes->size() : 0;
        return bytes ? v3::ReadState(*bytes) : std::nullopt;
    }
    // Delivers a state; its acknowledgement reaches the server unless lost.
    void deliver(const v3::State& state, bool ackLost = false)
    {
        std::vector<Bytes> rebuilt;
        auto number = client.state(state, rebuilt);
        if (number && !ackLost)
            link.acknowledge(*number, now);
        for (const Bytes& v1 : rebuilt) {
            told.push_back(DecodeMessage(v1).describe());
            MessageReader fields(v1);
            if (fields.getString() == "Moved") {
                int id = fields.getInt();
                float x = fields.getFloat();
                positions[id] = {x, fields.getFloat()};
            }
        }
    }
};

TEST(Version3State, a_lost_state_is_resent_until_acknowledged_and_a_late_or_repeated_one_changes_nothing)
{
    StateLink s(3);
    s.toAll(message::Moved(2, 10, 20));
    s.toAll(message::Moved(1, 5, 5)); // the client's own: never in its states
    auto lost = s.next();
    ASSERT_TRUE(lost);
    EXPECT_EQ(lost->poses, (std::vector<v3::Pose>{{2, true, false, 10, 20, 0}}));
    auto resent = s.next();
    ASSERT_TRUE(resent);
    EXPECT_EQ(resent->poses, lost->poses);
    s.deliver(*resent, true); // its acknowledgement lost too: sent again
    auto again = s.next();
    ASSERT_TRUE(again);
    s.deliver(*again);
    EXPECT_FALSE(s.next()); // acknowledged: nothing more to say
    s.toAll(message::Rotated(2, 90.5f));
    s.toAll(message::Moved(3, -7.5f, 1));
    auto newer = s.next();
    ASSERT_TRUE(newer);
    EXPECT_EQ(newer->poses, (std::vector<v3::Pose>{{2, false, true, 0, 0, 90.5f}, {3, true, false, -7.5f, 1, 0}}));
    s.deliver(*newer);
    s.deliver(*lost); // late: superseded
    s.deliver(*newer); // repeated
    EXPECT_THAT(s.told, ::testing::ElementsAre("Moved 2 10f 20f", "Moved 2 10f 20f", "Rotated 2 90.5f", "Moved 3 -7.5f 1f"));
    EXPECT_FALSE(s.next());
}

TEST(Version3State, a_pose_of_a_player_not_yet_joined_is_not_acknowledged_and_comes_again_once_it_has)
{
    StateLink s(2);
    s.toAll(message::Moved(3, 1, 1)); // its "Joined" is still on its way
    s.deliver(*s.next());
    EXPECT_TRUE(s.told.empty());
    s.join(3);
    s.deliver(*s.next());
    EXPECT_THAT(s.told, ::testing::ElementsAre("Moved 3 1f 1f"));
    EXPECT_FALSE(s.next());
}

// Table: how much is lost each way. Whatever is lost, the picture is the world's within
// a few states of the last change, and every state fits one datagram.
TEST(Version3State, a_crowd_converges_under_loss_each_state_within_one_datagram)
{
    for (double loss : {0.0, 0.2, 0.5}) {
        StateLink s(126);
        std::mt19937 random(7);
        std::uniform_real_distribution<float> coordinate(-5000, 5000);
        std::map<int, std::pair<float, float>> last;
        for (int round = 0; round < 200 + 100; ++round) {
            for (int id = 2; round < 200 && id <= 126; ++id)
                if (random() % 2) {
                    float x = coordinate(random), y = coordinate(random) + 0.5f;
                    s.toAll(message::Moved(id, x, y));
                    last[id] = {x, y};
                }
            if (auto state = s.next()) {
                EXPECT_LE(s.lastBytes, kMaxStateBytes);
                if (std::uniform_real_distribution<double>(0, 1)(random) >= loss)
                    s.deliver(*state, std::uniform_real_distribution<double>(0, 1)(random) < loss);
            }
        }
        EXPECT_EQ(s.positions, last) << "loss " << loss;
    }
}

TEST(Version3State, a_client_silent_for_a_second_is_resent_four_times_a_second)
{
    StateLink s(2);
    s.toAll(message::Moved(2, 1, 1));
    int states = 0;
    for (int ms = 0; ms < 3000; ms += kStateIntervalMs)
        states += s.next().has_value();
    // About a second's worth at the tick's pace, then four a second.
    EXPECT_GE(states, 1000 / kStateIntervalMs);
    EXPECT_LE(states, 1000 / kStateIntervalMs + 2 + 2 * 1000 / kStateSilentResendMs);
    std::optional<v3::State> state;
    for (int wait = 0; !state && wait < 20; ++wait)
        state = s.next();
    ASSERT_TRUE(state);
    s.deliver(*state);
    EXPECT_FALSE(s.next());
}

} // namespace
} // namespace skirmish

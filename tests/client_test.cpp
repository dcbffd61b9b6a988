#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "client/game_state.h"
#include "client/view.h"
#include "protocol/messages.h"

namespace skirmish::client {
namespace {

void Apply(GameState& state, const MessageWriter& writer) { ApplyMessage(state, DecodeMessage(writer.bytes())); }

// The room records have no name: a client that miscounts them reads rooms as players or loses the last one.
TEST(ClientState, snapshot_gives_rooms_players_and_own_id_then_updates_follow)
{
    GameState state;
    state.myName = "Eve";
    Apply(state, message::Greeting());
    EXPECT_EQ(state.link, Link::Playing);
    Apply(state, message::LevelInfo(2, 10, 8, 4));
    for (int i = 0; i < 3; ++i)
        Apply(state, MessageWriter().putInt(i).putInt(i + 1).putInt(2).putInt(3));
    Apply(state, message::Player(1, "Bob", 5, 6, false));
    Apply(state, message::Player(2, "Eve", 0, 0, true));
    Apply(state, message::PlayersDone());
    Apply(state, message::NewProjectile(7, 1, 2, 90));
    Apply(state, message::ProjDone());
    Apply(state, message::Joined(2, "Eve"));

    ASSERT_EQ(std::pair(state.rooms.size(), state.projectiles.count(7)), std::pair(size_t{3}, size_t{1}));
    EXPECT_EQ(std::tuple(state.rooms[2].x, state.sizeX, state.myId, state.players.at(1).name, state.players.at(1).dead,
                         state.players.at(2).dead),
              std::tuple(2, 10, 2, "Bob", false, true));

    Apply(state, message::ProjMove(7, 13, 2));
    EXPECT_EQ(state.projectiles.at(7).x, 13.0f);
    Apply(state, message::Health(40));
    EXPECT_EQ(state.myHealth, 40);
    Apply(state, message::Dead(1, 2));
    EXPECT_TRUE(state.players.at(1).dead);
    EXPECT_EQ(state.log.back(), "Eve killed Bob");
    Apply(state, message::ProjDelete(7));
    EXPECT_TRUE(state.projectiles.empty());
    Apply(state, message::Alive(2));
    EXPECT_EQ(state.myHealth, 100);
    Apply(state, message::Left(1));
    EXPECT_EQ(state.players.count(1), 0u);
    Apply(state, message::ServerQuit());
    EXPECT_EQ(state.link, Link::ServerQuit);
    EXPECT_EQ(LinkMessage(state, "h", 1), "The server has quit.");
}

// A spectator has no greeting and no id; a player's id is the "Joined" right after
// its own snapshot, not an earlier one that happens to carry the same name.
TEST(ClientState, a_spectator_starts_at_its_snapshot_and_a_player_takes_only_the_join_after_its_own)
{
    for (bool spectator : {true, false}) {
        GameState state;
        state.myName = "Eve";
        state.spectator = spectator;
        Apply(state, message::Joined(1, "Eve"));
        Apply(state, message::LevelInfo(0, 4, 4, 3));
        Apply(state, message::ProjDone());
        Apply(state, message::Joined(2, "Eve"));
        EXPECT_EQ(std::pair(state.link, state.myId), std::pair(Link::Playing, spectator ? 0 : 2)) << spectator;
    }
}

// Catches an aim off by 90 degrees or mirrored: travel is angle - 90 from +x towards +y.
TEST(ClientView, aim_follows_the_servers_angle_convention)
{
    for (auto [x, y, angle] : {std::tuple{1.0f, 0.0f, 90.0f}, {0.0f, 1.0f, 180.0f}, {-1.0f, 0.0f, 270.0f}, {0.0f, -1.0f, 0.0f}})
        EXPECT_FLOAT_EQ(AimAngle(x, y), angle) << x << "," << y;
}

TEST(ClientView, whole_map_view_fits_the_map_and_the_room_below_it)
{
    GameState state;
    state.sizeX = 20;
    state.sizeY = 10;
    state.rooms = {{0, 10, 4, 6}}; // the extra room hangs below the map
    View view = WholeMapView(state, 800, 600);
    EXPECT_GE(view.screenX(0), 0);
    EXPECT_LE(view.screenX(20 * kTile), 800);
    EXPECT_GE(view.screenY(0), 0);
    EXPECT_LE(view.screenY(16 * kTile), 600);
    EXPECT_NEAR(view.screenX(10 * kTile), 400, 1); // centred

    state.players[3].x = 100;
    state.players[3].y = 50;
    state.myId = 3;
    View follow = FollowView(state, 800, 600);
    EXPECT_NEAR(follow.screenX(100), 400, 0.01);
    EXPECT_NEAR(follow.screenY(50), 300, 0.01);
}

} // namespace
} // namespace skirmish::client

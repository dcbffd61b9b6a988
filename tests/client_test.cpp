#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "client/game_state.h"
#include "client/view.h"

namespace skirmish::client {
namespace {

DecodedMessage Message(const MessageWriter& writer) { return DecodeMessage(writer.bytes()); }

void Apply(GameState& state, const MessageWriter& writer) { ApplyMessage(state, Message(writer)); }

// The room records have no name: a client that miscounts them reads rooms as players or loses the last one.
TEST(ClientState, snapshot_gives_rooms_players_and_own_id_then_updates_follow)
{
    GameState state;
    state.myName = "Eve";
    Apply(state, MessageWriter().putString("MOTD Goes Here"));
    EXPECT_EQ(state.link, Link::Playing);
    Apply(state, MessageWriter().putString("LevelInfo").putInt(2).putInt(10).putInt(8).putInt(4));
    for (int i = 0; i < 3; ++i)
        Apply(state, MessageWriter().putInt(i).putInt(i + 1).putInt(2).putInt(3));
    Apply(state, MessageWriter().putString("Player").putInt(1).putString("Bob").putFloat(5).putFloat(6).putByte(0).putInt(0));
    Apply(state, MessageWriter().putString("Player").putInt(2).putString("Eve").putFloat(0).putFloat(0).putByte(1).putInt(0));
    Apply(state, MessageWriter().putString("PlayersDone"));
    Apply(state, MessageWriter().putString("NewProjectile").putInt(7).putFloat(1).putFloat(2).putFloat(90));
    Apply(state, MessageWriter().putString("ProjDone"));
    Apply(state, MessageWriter().putString("Joined").putInt(2).putString("Eve"));

    ASSERT_EQ(state.rooms.size(), 3u);
    EXPECT_EQ(state.rooms[2].x, 2);
    EXPECT_EQ(state.sizeX, 10);
    EXPECT_EQ(state.myId, 2);
    EXPECT_EQ(state.players.at(1).name, "Bob");
    EXPECT_FALSE(state.players.at(1).dead);
    EXPECT_TRUE(state.players.at(2).dead);
    ASSERT_EQ(state.projectiles.count(7), 1u);

    Apply(state, MessageWriter().putString("ProjMove").putInt(7).putFloat(13).putFloat(2));
    EXPECT_EQ(state.projectiles.at(7).x, 13.0f);
    Apply(state, MessageWriter().putString("Health").putInt(40));
    EXPECT_EQ(state.myHealth, 40);
    Apply(state, MessageWriter().putString("Dead").putInt(1).putInt(2));
    EXPECT_TRUE(state.players.at(1).dead);
    EXPECT_EQ(state.log.back(), "Eve killed Bob");
    Apply(state, MessageWriter().putString("ProjDelete").putInt(7));
    EXPECT_TRUE(state.projectiles.empty());
    Apply(state, MessageWriter().putString("Alive").putInt(2));
    EXPECT_EQ(state.myHealth, 100);
    Apply(state, MessageWriter().putString("Left").putInt(1));
    EXPECT_EQ(state.players.count(1), 0u);
    Apply(state, MessageWriter().putString("ServerQuit"));
    EXPECT_EQ(state.link, Link::ServerQuit);
    EXPECT_EQ(LinkMessage(state, "h", 1), "The server has quit.");
}

// Catches an aim off by 90 degrees or mirrored: travel is angle − 90 from +x towards +y.
TEST(ClientView, aim_follows_the_servers_angle_convention)
{
    EXPECT_FLOAT_EQ(AimAngle(1, 0), 90);
    EXPECT_FLOAT_EQ(AimAngle(0, 1), 180);
    EXPECT_FLOAT_EQ(AimAngle(-1, 0), 270);
    EXPECT_FLOAT_EQ(AimAngle(0, -1), 0);
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

// The real server, two bots and the headless desktop client: the screenshot must
// show the rooms in their colour where the snapshot puts them, and the players.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <SDL2/SDL.h>

#include <cstdio>
#include <thread>

#include "client/game_state.h"
#include "client/renderer.h"
#include "client/view.h"
#include "net/client.h"
#include "protocol/messages.h"
#include "server_process.h"

namespace skirmish::testing {
namespace {

using client::Colour;

bool Is(const SDL_Surface* shot, int x, int y, Colour c)
{
    if (x < 0 || y < 0 || x >= shot->w || y >= shot->h)
        return false;
    Uint32 pixel = static_cast<const Uint32*>(shot->pixels)[y * (shot->pitch / 4) + x];
    Uint8 r, g, b;
    SDL_GetRGB(pixel, shot->format, &r, &g, &b);
    return r == c.r && g == c.g && b == c.b;
}

TEST(DesktopClient, headless_screenshot_shows_the_rooms_and_the_players)
{
    const uint16_t port = FreeUdpPort();
    ServerProcess server({SKIRMISH_SERVER_BINARY, "--port", std::to_string(port)});
    server.type("6\n24\n18\n5\n4\n");
    ASSERT_TRUE(server.waitForOutput("Server Started. Awaiting players...\n")) << server.output();
    ServerProcess bots({SKIRMISH_BOT_BINARY, "--port", std::to_string(port), "--bots", "2", "--seconds", "8", "--quiet"});

    // Our own look at the level, from the same snapshot the client gets.
    client::GameState seen;
    seen.myName = "probe";
    NetClient probe;
    ASSERT_TRUE(probe.connect("127.0.0.1", port, 3000));
    probe.send(command::Name("probe"));
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (seen.myId == 0 && std::chrono::steady_clock::now() < until) {
        probe.service(5);
        while (probe.nextMessage())
            client::ApplyMessage(seen, probe.current());
    }
    ASSERT_EQ(seen.rooms.size(), 6u);

    const std::string file = ::testing::TempDir() + "skirmish_client_shot.bmp";
    std::remove(file.c_str());
    ServerProcess watcher({SKIRMISH_CLIENT_BINARY, "--port", std::to_string(port), "--headless", "--whole-map", "--seconds", "3", "--size", "800x600",
                           "--screenshot", file, "Watcher"});
    ASSERT_EQ(watcher.waitForExit(15000), 0) << watcher.output();

    SDL_Surface* loaded = SDL_LoadBMP(file.c_str());
    ASSERT_NE(loaded, nullptr) << SDL_GetError();
    SDL_Surface* shot = SDL_ConvertSurfaceFormat(loaded, SDL_PIXELFORMAT_ARGB8888, 0);
    SDL_FreeSurface(loaded);
    ASSERT_EQ(shot->w, 800);

    const client::View view = client::WholeMapView(seen, 800, 600);
    int roomsSeen = 0;
    for (const client::RoomRect& room : seen.rooms) {
        int x = static_cast<int>(view.screenX((room.x + room.width / 2.0f) * client::kTile));
        int y = static_cast<int>(view.screenY((room.y + room.height / 2.0f) * client::kTile));
        bool underHud = x < 220 && (y < 60 || y > 600 - 240);
        if (room.width > 0 && room.height > 0 && !underHud)
            roomsSeen += Is(shot, x, y, client::kRoomFill) || Is(shot, x + 3, y + 3, client::kRoomFill);
    }
    EXPECT_GE(roomsSeen, 3) << "room centres drawn in the room colour";

    int playerPixels = 0;
    for (int y = 0; y < shot->h; ++y)
        for (int x = 0; x < shot->w; ++x)
            playerPixels += Is(shot, x, y, client::kPlayerColour) || Is(shot, x, y, client::kDeadColour) ||
                            Is(shot, x, y, client::kOwnColour);
    EXPECT_GT(playerPixels, 3 * 60) << "at least three player discs (two bots and the probe)";
    SDL_FreeSurface(shot);

    probe.disconnect(300);
    server.signal(SIGTERM);
    EXPECT_EQ(server.waitForExit(), 0);
}

} // namespace
} // namespace skirmish::testing

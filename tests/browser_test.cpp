// A real browser plays the game page against the real binary beside an ENet player.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "real_binary.h"

namespace skirmish::testing {
namespace {

TEST(Browser, a_page_opened_from_a_link_joins_and_walks_where_an_enet_player_sees_it)
{
    RealServer server;
    ASSERT_TRUE(server.started) << server.process.output();
    Player watcher;
    ASSERT_EQ(watcher.join(server.port, "Watcher"), "Joined 1 Watcher");

    const std::string screenshot = std::string(SKIRMISH_BUILD_DIR) + "/browser-screenshot.png";
    std::remove(screenshot.c_str());
    ServerProcess browser({"/usr/bin/python3", SKIRMISH_BROWSER_DRIVER, "play",
                           "http://127.0.0.1:" + std::to_string(server.port) + "/?name=Browser", screenshot});
    EXPECT_EQ(watcher.waitFor("Joined 2", 20000), "Joined 2 Browser") << browser.output();
    EXPECT_EQ(watcher.waitFor("Alive 2", 6000), "Alive 2");
    // Everything after its coming to life is the keys' doing.
    EXPECT_NE(watcher.waitFor("Moved 2 ", 6000), "");
    EXPECT_EQ(browser.waitForExit(20000), 0) << browser.output();
    struct stat shot {};
    EXPECT_EQ(stat(screenshot.c_str(), &shot), 0);
    EXPECT_GT(shot.st_size, 1000);
    server.process.signal(SIGTERM);
    EXPECT_EQ(server.process.waitForExit(), 0);
}

TEST(Browser, the_watch_page_follows_an_enet_player_and_sees_it_move)
{
    RealServer server;
    ASSERT_TRUE(server.started) << server.process.output();
    Player walker;
    ASSERT_EQ(walker.join(server.port, "Walker"), "Joined 1 Walker");
    ASSERT_EQ(walker.waitFor("Alive 1", 6000), "Alive 1");

    ServerProcess browser({"/usr/bin/python3", SKIRMISH_BROWSER_DRIVER, "watch",
                           "http://127.0.0.1:" + std::to_string(server.port) + "/watch", "Walker"});
    ASSERT_TRUE(browser.waitForOutput("following Walker\n", 30000)) << browser.output();
    // Only now does it move, so the page has seen where it stood before.
    walker.send(command::Move(30.0f, 0.0f));
    const std::string moved = walker.waitFor("Moved 1 ");
    ASSERT_NE(moved, "");
    const std::string where = moved.substr(std::size("Moved 1 ") - 1); // "X Y"
    browser.type(where + "\n");
    EXPECT_TRUE(browser.waitForOutput("saw Walker at " + where + "\n", 20000)) << browser.output();
    EXPECT_EQ(browser.waitForExit(20000), 0) << browser.output();
}

} // namespace
} // namespace skirmish::testing

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
    ServerProcess browser({"/usr/bin/python3", SKIRMISH_BROWSER_DRIVER,
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

} // namespace
} // namespace skirmish::testing

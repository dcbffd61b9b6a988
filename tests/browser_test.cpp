// A real browser plays the game page against the real binary beside an ENet player.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>

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

TEST(Browser, the_replay_page_opens_a_recording_at_a_moment_and_plays_on_from_it)
{
    RealServer server; // recording into a folder of its own
    ASSERT_TRUE(server.started) << server.process.output();
    Player walker;
    ASSERT_EQ(walker.join(server.port, "Walker"), "Joined 1 Walker");
    ASSERT_EQ(walker.waitFor("Alive 1", 6000), "Alive 1");
    walker.send(command::Move(30.0f, 0.0f));
    const std::string first = walker.waitFor("Moved 1 ");
    ASSERT_NE(first, "");
    using namespace std::chrono;
    const auto seenMs = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    // The page opens half a second after the first move was seen: before the second, two seconds on.
    Within(2000, [&] { return walker.drain(), false; });
    walker.send(command::Move(0.0f, 30.0f));
    const std::string second = walker.waitFor("Moved 1 ");
    ASSERT_NE(second, "");
    std::string name; // the recording, once something is written in it
    ASSERT_TRUE(Within(5000, [&] {
        for (const auto& entry : std::filesystem::directory_iterator(server.demos.path))
            name = entry.file_size() > 0 ? entry.path().filename().string() : name;
        return !name.empty();
    }));

    const std::string firstAt = first.substr(std::size("Moved 1 ") - 1), secondAt = second.substr(std::size("Moved 1 ") - 1);
    ServerProcess browser({"/usr/bin/python3", SKIRMISH_BROWSER_DRIVER, "replay",
                           "http://127.0.0.1:" + std::to_string(server.port) + "/replay?demo=" + name, "Walker",
                           std::to_string(seenMs), firstAt, secondAt});
    EXPECT_TRUE(browser.waitForOutput("saw Walker at " + firstAt + " ", 60000)) << browser.output();
    EXPECT_TRUE(browser.waitForOutput("played on to Walker at " + secondAt + "\n", 20000)) << browser.output();
    EXPECT_EQ(browser.waitForExit(20000), 0) << browser.output();
}

} // namespace
} // namespace skirmish::testing

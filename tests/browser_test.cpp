// A real browser plays the game page against the real binary beside an ENet player.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>

#include "net/client.h"
#include "protocol/messages.h"
#include "server_process.h"

namespace skirmish::testing {
namespace {

// Services the client until a message starting with prefix arrives; "" on time-out.
std::string WaitFor(NetClient& client, const std::string& prefix, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline)
        if (client.waitForMessage(10)) {
            std::string seen = client.current().describe();
            if (seen.rfind(prefix, 0) == 0)
                return seen;
        }
    return "";
}

TEST(Browser, a_page_opened_from_a_link_joins_and_walks_where_an_enet_player_sees_it)
{
    const uint16_t port = FreeUdpPort();
    ServerProcess server({SKIRMISH_SERVER_BINARY, "--players", "4", "--width", "20", "--height", "20", "--rooms", "3",
                          "--weapons", "2", "--port", std::to_string(port)});
    ASSERT_TRUE(server.waitForOutput("Server Started. Awaiting players...\n")) << server.output();
    NetClient watcher;
    ASSERT_TRUE(watcher.connect("127.0.0.1", port, 3000));
    watcher.send(command::Name("Watcher"));
    ASSERT_EQ(WaitFor(watcher, "Joined 1", 3000), "Joined 1 Watcher");

    const std::string screenshot = std::string(SKIRMISH_BUILD_DIR) + "/browser-screenshot.png";
    std::remove(screenshot.c_str());
    ServerProcess browser({"/usr/bin/python3", SKIRMISH_BROWSER_DRIVER,
                           "http://127.0.0.1:" + std::to_string(port) + "/?name=Browser", screenshot});
    EXPECT_EQ(WaitFor(watcher, "Joined 2", 20000), "Joined 2 Browser") << browser.output();
    EXPECT_EQ(WaitFor(watcher, "Alive 2", 6000), "Alive 2");
    // Everything after its coming to life is the keys' doing.
    EXPECT_NE(WaitFor(watcher, "Moved 2 ", 6000), "");
    EXPECT_EQ(browser.waitForExit(20000), 0) << browser.output();
    struct stat shot {};
    EXPECT_EQ(stat(screenshot.c_str(), &shot), 0);
    EXPECT_GT(shot.st_size, 1000);
    server.signal(SIGTERM);
    EXPECT_EQ(server.waitForExit(), 0);
}

} // namespace
} // namespace skirmish::testing

// A real browser plays the game page against the real binary beside an ENet player.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "real_binary.h"
#include "tools/tcp_relay.h"

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

// Two fingers at once: the left stick walks, the right aims and fires; a cancelled touch
// lets both go, and the page sends no "Move" after it.
TEST(Browser, two_touch_points_move_aim_and_fire_and_a_cancelled_touch_stops_the_walk)
{
    RealServer server;
    ASSERT_TRUE(server.started) << server.process.output();
    Player watcher;
    ASSERT_EQ(watcher.join(server.port, "Watcher"), "Joined 1 Watcher");
    ServerProcess browser({"/usr/bin/python3", SKIRMISH_BROWSER_DRIVER, "touch",
                           "http://127.0.0.1:" + std::to_string(server.port) + "/?name=Thumbs"});
    ASSERT_EQ(watcher.waitFor("Joined 2", 20000), "Joined 2 Thumbs") << browser.output();
    ASSERT_EQ(watcher.waitFor("Alive 2", 6000), "Alive 2");
    ASSERT_TRUE(browser.waitForOutput("touching\n", 30000)) << browser.output();
    // A weapon drawn from the catalogue is ready up to 6.5 s after the respawn.
    EXPECT_NE(watcher.waitFor("NewProjectile ", 15000), "") << "the watcher never fires";
    browser.type("\n");
    EXPECT_TRUE(browser.waitForOutput("cancelled: 0 moves after\n", 30000)) << browser.output();
    watcher.waitFor("nothing", 500); // what is still on its way
    auto heard = [&](auto&& what) { return std::any_of(watcher.got.begin(), watcher.got.end(), what); };
    EXPECT_TRUE(heard([](const std::string& m) { return m.starts_with("Moved 2 "); }));
    EXPECT_TRUE(heard([](const std::string& m) { // aimed up: 0 degrees, or a hair under 360
        const float angle = m.starts_with("Rotated 2 ") ? std::stof(m.substr(10)) : 180.0f;
        return std::min(angle, 360 - angle) < 1;
    }));
    EXPECT_EQ(browser.waitForExit(20000), 0) << browser.output();
}

// A 360 × 640 phone: no page scrolls or overflows, the game fills the canvas at the
// device's pixels and draws, the manifest is linked and served with its type, and a
// tap leaves the sound running.
TEST(Browser, on_a_phone_sized_screen_the_pages_fit_the_game_draws_and_a_tap_starts_the_sound)
{
    RealServer server;
    ASSERT_TRUE(server.started) << server.process.output();
    ServerProcess browser({"/usr/bin/python3", SKIRMISH_BROWSER_DRIVER, "phone",
                           "http://127.0.0.1:" + std::to_string(server.port) + "/"});
    ASSERT_TRUE(browser.waitForOutput("browser done", 60000)) << browser.output();
    const std::string said = browser.output();
    for (const char* page : {"\"watch\": {", "\"replay\": {", "\"play\": {"}) {
        const size_t at = said.find(page);
        const std::string figures = at == std::string::npos ? "" : said.substr(at, said.find('}', at) - at);
        EXPECT_NE(figures.find("\"scrolls\": false"), std::string::npos) << page << said;
        EXPECT_NE(figures.find("\"manifest\": \"application/manifest+json\""), std::string::npos) << page << said;
        EXPECT_NE(figures.find("\"display\": \"standalone\""), std::string::npos) << page << said;
    }
    const std::string play = said.substr(said.find("\"play\": {"));
    EXPECT_NE(play.find("\"canvas\": [720, 1280]"), std::string::npos) << said;
    EXPECT_EQ(play.find("\"lit\": 0,"), std::string::npos) << said;
    EXPECT_NE(play.find("\"touch\": true"), std::string::npos) << said;
    EXPECT_NE(play.find("\"audio\": \"running\""), std::string::npos) << said;
    EXPECT_EQ(browser.waitForExit(20000), 0) << browser.output();
}

// Bots fight and chat while each page is opened at two phone sizes (touch) and two desktop ones: no
// word a page draws or lays out covers another or leaves the screen; the operator's words greet a newcomer.
TEST(Browser, at_phone_and_desktop_sizes_no_page_lays_words_over_each_other_or_off_the_screen)
{
    RealServer server({"--players", "8", "--width", "30", "--height", "20", "--rooms", "4", "--weapons", "2", "--bots",
                       "5", "--motd", "Hello from the operator"});
    ASSERT_TRUE(server.started) << server.process.output();
    ServerProcess browser({"/usr/bin/python3", SKIRMISH_BROWSER_DRIVER, "layout",
                           "http://127.0.0.1:" + std::to_string(server.port) + "/", SKIRMISH_BUILD_DIR});
    ASSERT_TRUE(browser.waitForOutput("browser done", 120000)) << browser.output();
    for (const std::string page : {"play", "watch", "demos", "replay"})
        for (const char* size : {"360x640", "640x360", "1280x800", "1920x1080"})
            EXPECT_NE(browser.output().find("ok " + page + " " + size + " "), std::string::npos) << browser.output();
    EXPECT_NE(browser.output().find("first words: ['Hello from the operator']"), std::string::npos) << browser.output();
}

// A TCP relay on a thread of its own, delaying each way by delayMs.
struct SlowLink {
    SlowLink(uint16_t serverPort, double delayMs) : relay(0, serverPort, {delayMs, 0}, {delayMs, 0}, 1)
    {
        thread = std::thread([this] {
            while (!stopping)
                relay.run(20);
        });
    }
    ~SlowLink()
    {
        stopping = true;
        thread.join();
    }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(relay.port()) + path; }
    TcpRelay relay;
    std::atomic<bool> stopping{false};
    std::thread thread;
};

// 250 ms each way: a page that waited for the server could not move in under half a second.
TEST(Browser, through_a_slow_link_the_page_draws_its_own_move_before_the_server_could_answer)
{
    RealServer server({"--players", "4", "--width", "40", "--height", "10", "--rooms", "2", "--weapons", "1"});
    ASSERT_TRUE(server.started) << server.process.output();
    SlowLink link(server.port, 250);
    ServerProcess browser({"/usr/bin/python3", SKIRMISH_BROWSER_DRIVER, "feel", link.url("/?name=Feel")});
    ASSERT_TRUE(browser.waitForOutput("\"key_ms_max\": ", 60000)) << browser.output();
    const std::string figures = browser.output();
    const double keyMs = std::stod(figures.substr(figures.find("\"key_ms_max\": ") + 14));
    const double backPx = std::stod(figures.substr(figures.find("\"back_px\": ") + 11));
    EXPECT_LT(keyMs, 250) << figures;
    EXPECT_LE(backPx, 1) << figures;
    EXPECT_EQ(browser.waitForExit(20000), 0) << browser.output();
}

TEST(Browser, a_page_whose_server_died_reconnects_and_joins_again_under_its_name_once_it_is_back)
{
    RealServer server;
    ASSERT_TRUE(server.started) << server.process.output();
    Player watcher;
    ASSERT_EQ(watcher.join(server.port, "Watcher"), "Joined 1 Watcher");
    ServerProcess browser({"/usr/bin/python3", SKIRMISH_BROWSER_DRIVER, "stay",
                           "http://127.0.0.1:" + std::to_string(server.port) + "/?name=Browser", "40"});
    ASSERT_EQ(watcher.waitFor("Joined 2", 20000), "Joined 2 Browser") << browser.output();
    server.process.signal(SIGKILL); // no "ServerQuit": the link is lost, not closed
    ASSERT_TRUE(browser.waitForOutput("status: Reconnecting…\n", 10000)) << browser.output();
    ServerProcess again(RealServer::Command({"--players", "4", "--width", "10", "--height", "10", "--rooms", "2",
                                             "--weapons", "1"},
                                            server.port, server.demos.path, server.state.path));
    ASSERT_TRUE(again.waitForOutput("Server Started. Awaiting players...\n", 10000)) << again.output();
    Player second;
    ASSERT_EQ(second.join(server.port, "Second"), "Joined 1 Second");
    EXPECT_EQ(second.waitFor("Joined 2", 20000), "Joined 2 Browser") << browser.output();
    EXPECT_TRUE(Within(5000, [&] { // and says nothing any more
        const std::string& said = browser.output();
        return said.find("status: \n", said.find("Reconnecting…")) != std::string::npos;
    })) << browser.output();
}

// What the metrics page says of one sample, as a number (-1 when it is missing).
double Metric(uint16_t port, const std::string& name)
{
    const std::string page = HttpGet(port, "/metrics");
    const size_t at = page.find("\n" + name + " ");
    return at == std::string::npos ? -1 : std::stod(page.substr(at + name.size() + 2));
}

TEST(Browser, a_page_takes_others_motion_as_datagrams_and_over_its_websocket_where_udp_does_not_get_through)
{
    struct Case {
        std::vector<std::string> flags;
        bool datagrams;
    };
    // A documentation address nobody answers at stands for a firewall that lets no UDP through.
    for (const Case& c : {Case{{}, true}, Case{{"--datagram-address", "198.51.100.1"}, false}}) {
        std::vector<std::string> flags = {"--players", "4", "--width", "20", "--height", "10", "--rooms", "2",
                                          "--weapons", "1", "--bots", "2"};
        flags.insert(flags.end(), c.flags.begin(), c.flags.end());
        RealServer server(flags);
        ASSERT_TRUE(server.started) << server.process.output();
        ServerProcess browser({"/usr/bin/python3", SKIRMISH_BROWSER_DRIVER, "path",
                               "http://127.0.0.1:" + std::to_string(server.port) + "/?name=Browser", "[bot] Ada", "9"});
        ASSERT_TRUE(browser.waitForOutput(c.datagrams ? "path datagrams\n" : "path WebSocket\n", 20000))
            << browser.output();
        EXPECT_TRUE(browser.waitForOutput("[bot] Ada seen moving\n", 15000)) << browser.output();
        EXPECT_EQ(Metric(server.port, "skirmish_datagram_channels"), c.datagrams ? 1 : 0);
        // The bot may have been seen moving on states sent before the channel opened: wait for the channel's own.
        if (c.datagrams)
            EXPECT_TRUE(Within(10000, [&] { return Metric(server.port, "skirmish_datagram_states_sent_total") > 20; }));
        else
            EXPECT_EQ(Metric(server.port, "skirmish_datagram_states_sent_total"), 0);
        EXPECT_EQ(browser.waitForExit(20000), 0) << browser.output();
        EXPECT_EQ(browser.output().find("path datagrams") != std::string::npos, c.datagrams) << browser.output();
        // The way back: once the page has gone, so has its channel.
        EXPECT_TRUE(Within(5000, [&] { return Metric(server.port, "skirmish_datagram_channels") == 0; }));
    }
}

} // namespace
} // namespace skirmish::testing

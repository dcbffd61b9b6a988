// skirmish-bot against the real server: its summary, and its exit status when things go wrong.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "real_binary.h"
#include "tools/histogram.h"

namespace skirmish::testing {
namespace {

TEST(LatencyHistogramTest, percentiles_come_from_the_bucket_edges_and_the_max_is_exact)
{
    LatencyHistogram histogram;
    EXPECT_EQ(histogram.percentile(99), 0);
    for (int i = 1; i <= 100; ++i)
        histogram.record(i * 0.1); // 0.1 to 10 ms
    histogram.record(900);         // past the last bucket
    EXPECT_EQ(histogram.count(), 101u);
    EXPECT_NEAR(histogram.percentile(50), 5.1, 0.06);
    EXPECT_NEAR(histogram.percentile(98), 9.9, 0.06);
    EXPECT_EQ(histogram.percentile(100), 900);
    EXPECT_EQ(histogram.max(), 900);
}

std::string Field(const std::string& out, const std::string& key)
{
    auto at = out.find(" " + key + "=");
    if (at == std::string::npos)
        return "";
    at += key.size() + 2;
    return out.substr(at, out.find_first_of(" \n", at) - at);
}

TEST(BotTool, bots_play_and_report_a_clean_summary_and_a_server_gone_without_goodbye_fails_the_run)
{
    RealServer server({"--players", "8", "--width", "16", "--height", "16", "--rooms", "4", "--weapons", "6"});
    ASSERT_TRUE(server.started) << server.process.output();
    const std::string port = std::to_string(server.port);
    ServerProcess bots({SKIRMISH_BOT_BINARY, "--port", port, "--bots", "3", "--seconds", "2", "--quiet"});
    ASSERT_EQ(bots.waitForExit(15000), 0) << bots.output();
    for (auto [key, value] : {std::pair{"bots", "3"}, {"lost", "0"}, {"malformed", "0"}, {"unknown", "0"}})
        EXPECT_EQ(Field(bots.output(), key), value) << key;
    EXPECT_GT(std::stod(Field(bots.output(), "msgs_per_s")), 100);
    EXPECT_GT(std::stod(Field(bots.output(), "echo_p50")), 0);
    EXPECT_THAT(server.process.output(), ::testing::HasSubstr("Player 1 updated name to bot-1"));

    ServerProcess stranded({SKIRMISH_BOT_BINARY, "--port", port, "--bots", "2", "--seconds", "40", "--quiet"});
    auto namedTwice = [&] {
        const std::string& out = server.process.output();
        return out.find("name to bot-2", out.find("name to bot-2") + 1) != std::string::npos;
    };
    ASSERT_TRUE(Within(10000, [&] { return namedTwice() || (server.process.waitForOutput("\x01", 100), false); }))
        << server.process.output();
    server.process.signal(SIGKILL); // no "ServerQuit": the bots time out and stop early
    EXPECT_EQ(stranded.waitForExit(38000), 1) << stranded.output();
    EXPECT_EQ(Field(stranded.output(), "lost"), "2");
}

// Catches a spectator greeted or left without its snapshot, and one turned away late counted as lost.
TEST(BotTool, watchers_get_their_snapshot_and_one_past_the_cap_is_refused)
{
    RealServer server({"--players", "4", "--width", "16", "--height", "16", "--rooms", "2", "--weapons", "2",
                       "--max-spectators", "2"});
    ASSERT_TRUE(server.started) << server.process.output();
    ServerProcess watchers({SKIRMISH_BOT_BINARY, "--port", std::to_string(server.port), "--bots", "3", "--watch",
                            "--seconds", "1", "--quiet"});
    ASSERT_EQ(watchers.waitForExit(15000), 0) << watchers.output();
    for (auto [key, value] : {std::pair{"bots", "2"}, {"refused", "1"}, {"lost", "0"}, {"snapshots", "2"}})
        EXPECT_EQ(Field(watchers.output(), key), value) << key;
}

TEST(BotTool, no_server_and_bad_options_exit_with_status_2)
{
    ServerProcess nobody({SKIRMISH_BOT_BINARY, "--bots", "1", "--port", "9", "--seconds", "1"});
    EXPECT_EQ(nobody.waitForExit(15000), 2);
    ServerProcess bad({SKIRMISH_BOT_BINARY, "--bots", "0"});
    EXPECT_EQ(bad.waitForExit(5000), 2);
    EXPECT_THAT(bad.output(), ::testing::HasSubstr("--bots must be at least 1"));
}

} // namespace
} // namespace skirmish::testing

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "app/startup.h"
#include "core/console.h"
#include "net/memory_transport.h"
#include "net/net.h"

namespace skirmish {
namespace {

struct Prompted {
    std::optional<StartupAnswers> answers;
    std::string console;
};

Prompted Ask(const std::string& typed)
{
    std::istringstream in(typed);
    std::ostringstream out;
    ScopedConsole capture(out);
    Prompted result{AskStartupQuestions(in), ""};
    result.console = out.str();
    return result;
}

const char* const P = "Input max number of players: ";
const char* const X = "Input map x dimensions: ";
const char* const Y = "Input map y dimensions: ";
const char* const R = "Input number of rooms: ";
const char* const W = "Input number of weapons: ";

TEST(Startup, prompts_repeat_with_their_error_lines_until_accepted)
{
    Prompted p = Ask("0\n128\n127\n-5\n1\n0\n2\n0\n3\n-1\n4\n");
    ASSERT_TRUE(p.answers);
    EXPECT_EQ(p.answers->maxPlayers, 127);
    EXPECT_EQ(p.answers->sizeX, 1);
    EXPECT_EQ(p.answers->sizeY, 2);
    EXPECT_EQ(p.answers->roomCount, 3);
    EXPECT_EQ(p.answers->weaponCount, 4);
    EXPECT_EQ(p.console, std::string(P) + "Players must be between 0 and 256.\n" + P +
                             "Players must be between 0 and 256.\n" + P + X + "x must be greater than 0.\n" + X + Y +
                             "y must be greater than 0.\n" + Y + R + "rooms must be greater than 0.\n" + R + W +
                             "Weapons must be greater than 0.\n" + W);
}

TEST(Startup, first_valid_answers_give_no_error_line_and_may_share_a_line)
{
    Prompted p = Ask("1 64 64 8 20");
    ASSERT_TRUE(p.answers);
    EXPECT_EQ(p.answers->maxPlayers, 1);
    EXPECT_EQ(p.console, std::string(P) + X + Y + R + W);
}

// Garbage once left the stream failed and the prompt looping forever.
TEST(Startup, text_that_is_no_number_is_dropped_and_the_same_prompt_asked_again)
{
    Prompted p = Ask("lots\n99999999999\n4\nx y z\n10 10 2 3\n");
    ASSERT_TRUE(p.answers);
    EXPECT_EQ(p.answers->maxPlayers, 4);
    EXPECT_EQ(p.answers->sizeX, 10);
    EXPECT_EQ(p.console, std::string(P) + P + P + X + X + Y + R + W);
}

TEST(Startup, end_of_input_at_any_prompt_ends_the_questions)
{
    for (const char* typed : {"", "4\n", "4\n10\n10\n2\n", "abc", "4\n-3\n"})
        EXPECT_FALSE(Ask(typed).answers) << typed;
}

struct FailedHost : ::testing::Test {
    void TearDown() override { NetUseTransport(nullptr); }
};

TEST_F(FailedHost, prints_the_error_then_server_not_started_without_line_end_then_pauses)
{
    auto transport = std::make_unique<MemoryTransport>();
    transport->failNextOpen("Cannot host on UDP port 23987: Address already in use");
    NetUseTransport(std::move(transport));
    std::istringstream in("4\n10\n10\n2\n1\n");
    std::ostringstream out;
    ScopedConsole capture(out);
    bool paused = false;
    ServerEnvironment environment{.in = in,
                                  .calendarTime = [] { return int64_t{1700000000}; },
                                  .pause = [&](std::istream&) { paused = true; }};
    EXPECT_EQ(RunServer(environment), 0);
    EXPECT_TRUE(paused);
    EXPECT_THAT(out.str(), ::testing::StartsWith(std::string(P) + X + Y + R + W + "Generating Level...\n"
                                                                                  "Generated Weapon - Damage: "));
    EXPECT_THAT(out.str(), ::testing::EndsWith("\nError: Cannot host on UDP port 23987: Address already in use\n"
                                               "Server not started."));
}

TEST_F(FailedHost, pause_skips_the_answer_line_end_and_waits_for_one_byte_of_piped_input)
{
    std::istringstream in("\nkq");  // the line end left after the last answer
    std::ostringstream out;
    ScopedConsole capture(out);
    PauseForKey(in);
    EXPECT_EQ(out.str(), "Press any key to continue . . . \n");
    EXPECT_EQ(in.get(), 'q');
}

TEST_F(FailedHost, input_ending_at_a_prompt_ends_start_up_with_a_message_and_status_1)
{
    NetUseTransport(std::make_unique<MemoryTransport>());
    std::istringstream in("4\n10\n");
    std::ostringstream out;
    ScopedConsole capture(out);
    ServerEnvironment environment{.in = in, .pause = {}};
    EXPECT_EQ(RunServer(environment), 1);
    EXPECT_THAT(out.str(), ::testing::HasSubstr("Input ended before the server was set up"));
    EXPECT_FALSE(NetConnected());
}

} // namespace
} // namespace skirmish

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <vector>

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

// Garbage once left the stream failed and the prompt looping forever.
TEST(Startup, questions_repeat_with_their_error_lines_until_accepted_and_end_with_the_input)
{
    const std::string refusedP = std::string(P) + "Players must be between 0 and 256.\n";
    struct Case {
        const char* typed;
        std::vector<int32_t> answers; // empty: the questions end unanswered
        std::string console;
    };
    const Case cases[] = {
        {"0\n128\n127\n-5\n1\n0\n2\n0\n3\n-1\n4\n", {127, 1, 2, 3, 4},
         refusedP + refusedP + P + X + "x must be greater than 0.\n" + X + Y + "y must be greater than 0.\n" + Y + R +
             "rooms must be greater than 0.\n" + R + W + "Weapons must be greater than 0.\n" + W},
        {"1 64 64 8 20", {1, 64, 64, 8, 20}, std::string(P) + X + Y + R + W},
        {"lots\n99999999999\n4\nx y z\n10 10 2 3\n", {4, 10, 10, 2, 3}, std::string(P) + P + P + X + X + Y + R + W},
        {"", {}, P},
        {"4\n10\n10\n2\n", {}, std::string(P) + X + Y + R + W},
        {"abc", {}, P},
        {"4\n-3\n", {}, std::string(P) + X + "x must be greater than 0.\n" + X},
    };
    for (const Case& c : cases) {
        Prompted p = Ask(c.typed);
        std::vector<int32_t> answers;
        if (p.answers)
            answers = {p.answers->maxPlayers, p.answers->sizeX, p.answers->sizeY, p.answers->roomCount,
                       p.answers->weaponCount};
        EXPECT_EQ(answers, c.answers) << c.typed;
        EXPECT_EQ(p.console, c.console) << c.typed;
    }
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

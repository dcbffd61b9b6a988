#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "app/startup.h"
#include "core/console.h"
#include "net/memory/memory_transport.h"
#include "net/server/net.h"

namespace skirmish {
namespace {

// The prompts, in the order they are asked.
const std::string P = "Input max number of players: ", X = "Input map x dimensions: ", Y = "Input map y dimensions: ",
                  R = "Input number of rooms: ", W = "Input number of weapons: ";

// Garbage once looped the prompt forever; answers meant for flagged questions once shifted silently.
TEST(Startup, questions_repeat_until_accepted_end_with_the_input_and_leftover_answers_are_reported)
{
    const std::string refusedP = P + "Players must be between 0 and 256.\n";
    struct Case {
        const char* typed;
        std::vector<int32_t> answers; // empty: the questions end unanswered
        std::string console;
        PresetAnswers flags = {};
    };
    const Case cases[] = {
        {"0\n128\n127\n-5\n1\n0\n2\n0\n3\n-1\n4\n", {127, 1, 2, 3, 4},
         refusedP + refusedP + P + X + "x must be greater than 0.\n" + X + Y + "y must be greater than 0.\n" + Y + R +
             "rooms must be greater than 0.\n" + R + W + "Weapons must be greater than 0.\n" + W},
        {"1 64 64 8 20", {1, 64, 64, 8, 20}, P + X + Y + R + W},
        {"lots\n99999999999\n4\nx y z\n10 10 2 3\n", {4, 10, 10, 2, 3}, P + P + P + X + X + Y + R + W},
        {"", {}, P},
        {"4\n10\n10\n2\n", {}, P + X + Y + R + W},
        {"abc", {}, P},
        {"4\n-3\n", {}, P + X + "x must be greater than 0.\n" + X},
        {"9 64 64 8\n20 x\n", {9, 9, 64, 64, 8}, X + Y + R + W + "Unused answers on standard input: 20 x\n",
         {9, {}, {}, {}, {}}},
    };
    for (const Case& c : cases) {
        std::istringstream in(c.typed);
        std::ostringstream console;
        ScopedConsole capture(console);
        std::vector<int32_t> answers;
        if (auto a = AskStartupQuestions(in, c.flags))
            answers = {a->maxPlayers, a->sizeX, a->sizeY, a->roomCount, a->weaponCount};
        EXPECT_EQ(answers, c.answers) << c.typed;
        EXPECT_EQ(console.str(), c.console) << c.typed;
    }
}

// A flag given twice takes its last value: an earlier refused one once ended start-up.
TEST(Startup, flags_preset_answers_or_end_start_up_with_their_status_and_line)
{
    struct Case {
        std::vector<std::string> args;
        std::optional<int> status; // nullopt: start-up goes on
        std::string startsWith;
        int32_t players = 0; // as preset, 0 when none
    };
    const Case cases[] = {
        {{"--players", "0"}, 2, "Players must be between 0 and 256.\n"},
        {{"--port", "x"}, 2, "skirmish-server: bad value for --port: x\nUsage: "},
        {{"--width"}, 2, "skirmish-server: --width needs a value\nUsage: "},
        {{"--nope"}, 2, "skirmish-server: unknown option --nope\nUsage: "},
        {{"--bot-skill", "expert"}, 2, "skirmish-server: bad value for --bot-skill: expert\nUsage: "},
        {{"--version"}, 0, "skirmish-server "},
        {{"--help"}, 0, "Usage: skirmish-server"},
        {{"--players", "0", "--port", "x", "--players", "9", "--port", "24001"}, std::nullopt, "", 9},
    };
    for (Case c : cases) {
        c.args.insert(c.args.begin(), "skirmish-server");
        std::vector<char*> argv;
        for (std::string& arg : c.args)
            argv.push_back(arg.data());
        ServerOptions options;
        std::ostringstream said;
        EXPECT_EQ(ParseServerOptions(static_cast<int>(argv.size()), argv.data(), options, said, said), c.status);
        EXPECT_EQ(said.str().rfind(c.startsWith, 0), 0u) << said.str();
        EXPECT_EQ(options.answers.maxPlayers.value_or(0), c.players) << c.args[1];
    }
}

struct FailedHost : ::testing::Test {
    void TearDown() override { NetUseTransport(nullptr); }
    std::ostringstream out;
    ScopedConsole capture{out};
};

// The pause once skipped a line of piped input although no answer had been read from it.
TEST_F(FailedHost, prints_the_error_then_server_not_started_without_line_end_then_pauses_for_one_byte)
{
    auto transport = std::make_unique<MemoryTransport>();
    transport->failNextOpen("Cannot host on UDP port 23987: Address already in use");
    NetUseTransport(std::move(transport));
    std::istringstream in("kq"); // every answer a flag: "k" is the key
    ServerOptions options;
    options.answers = {4, 10, 10, 2, 1};
    ServerEnvironment environment{.in = in,
                                  .options = options,
                                  .calendarTime = [] { return int64_t{1700000000}; },
                                  .pause = PauseForKey};
    EXPECT_EQ(RunServer(environment), 1); // once 0: a supervisor's restart on failure never came
    EXPECT_EQ(in.get(), 'q');
    EXPECT_THAT(out.str(), ::testing::StartsWith("Generating Level...\nGenerated Weapon - Damage: "));
    EXPECT_THAT(out.str(), ::testing::EndsWith("\nError: Cannot host on UDP port 23987: Address already in use\n"
                                               "Server not started.Press any key to continue . . . \n"));
}

TEST_F(FailedHost, pause_skips_the_answer_line_end_and_waits_for_one_byte_of_piped_input)
{
    std::istringstream in("\nkq");  // the line end left after the last answer
    PauseForKey(in, true);
    EXPECT_EQ(out.str(), "Press any key to continue . . . \n");
    EXPECT_EQ(in.get(), 'q');
}

TEST_F(FailedHost, input_ending_at_a_prompt_ends_start_up_with_a_message_and_status_1)
{
    NetUseTransport(std::make_unique<MemoryTransport>());
    std::istringstream in("4\n10\n");
    ServerOptions options;
    ServerEnvironment environment{.in = in, .options = options, .pause = {}};
    EXPECT_EQ(RunServer(environment), 1);
    EXPECT_THAT(out.str(), ::testing::HasSubstr("Input ended before the server was set up"));
    EXPECT_FALSE(NetConnected());
}

} // namespace
} // namespace skirmish

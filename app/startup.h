#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <istream>
#include <optional>

namespace skirmish {

// The operator's five answers.
struct StartupAnswers {
    int32_t maxPlayers = 0;
    int32_t sizeX = 0;
    int32_t sizeY = 0;
    int32_t roomCount = 0;
    int32_t weaponCount = 0;
};

// Asks the five questions on the console, each until its answer is accepted.
// Input that is not a number is discarded up to the line end and the question
// asked again; nullopt when input ends first.
std::optional<StartupAnswers> AskStartupQuestions(std::istream& in);

// What start-up reads from outside, replaceable in tests.
struct ServerEnvironment {
    std::istream& in;
    std::function<int64_t()> calendarTime = [] { return static_cast<int64_t>(std::time(nullptr)); };
    // Waits for one key after a failed host.
    std::function<void(std::istream&)> pause;
};

// Start-up, the main loop and teardown. The exit broadcast is the caller's.
// Returns 0 whether hosting failed or ran to its end; 1 when start-up cannot
// finish (input ended at a prompt, or the level does not fit in memory).
int RunServer(ServerEnvironment& environment);

// "Press any key to continue . . . ", then one key press on a terminal, else one byte.
void PauseForKey(std::istream& in);

} // namespace skirmish

#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <span>

namespace skirmish {

// The operator's five answers.
struct StartupAnswers {
    int32_t maxPlayers = 0;
    int32_t sizeX = 0;
    int32_t sizeY = 0;
    int32_t roomCount = 0;
    int32_t weaponCount = 0;
    // An answer was read from the input and the end of its line is still unread there.
    bool lineEndPending = false;
};

// Answers given as flags; the questions left without one are asked.
struct PresetAnswers {
    std::optional<int32_t> maxPlayers, sizeX, sizeY, roomCount, weaponCount;
};

// Asks the questions that have no preset answer on the console, in order, each until
// its answer is accepted: the input answers those questions alone. Input that is not
// a number is discarded up to the line end and the question asked again; nullopt when
// input ends first. Once an answer has been read, whatever the input already holds
// after the last one (taken without waiting for more) is reported as unused.
std::optional<StartupAnswers> AskStartupQuestions(std::istream& in, const PresetAnswers& preset = {});

// One question: its prompt and error line, the answers it accepts, where its answer
// goes, and the flag that answers it instead.
struct Question {
    const char* prompt;
    const char* error;
    int32_t minimum;
    int32_t maximum;
    int32_t StartupAnswers::*answer;
    std::optional<int32_t> PresetAnswers::*preset;
    const char* flag;
};

// The five questions, in the order they are asked.
std::span<const Question> StartupQuestions();

} // namespace skirmish

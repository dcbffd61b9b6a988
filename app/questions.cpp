// The operator's five questions on the console.
#include "app/questions.h"

#include <cctype>
#include <iostream>
#include <limits>
#include <string>

#include "core/console.h"

namespace skirmish {
namespace {

// The players' error line names 0 and 256 although 1 to 127 are accepted: operators
// and scripts know the line as it is, so it is kept word for word.
const Question kQuestions[] = {
    {"Input max number of players: ", "Players must be between 0 and 256.", 1, 127, &StartupAnswers::maxPlayers,
     &PresetAnswers::maxPlayers, "--players"},
    {"Input map x dimensions: ", "x must be greater than 0.", 1, std::numeric_limits<int32_t>::max(),
     &StartupAnswers::sizeX, &PresetAnswers::sizeX, "--width"},
    {"Input map y dimensions: ", "y must be greater than 0.", 1, std::numeric_limits<int32_t>::max(),
     &StartupAnswers::sizeY, &PresetAnswers::sizeY, "--height"},
    {"Input number of rooms: ", "rooms must be greater than 0.", 1, std::numeric_limits<int32_t>::max(),
     &StartupAnswers::roomCount, &PresetAnswers::roomCount, "--rooms"},
    {"Input number of weapons: ", "Weapons must be greater than 0.", 1, std::numeric_limits<int32_t>::max(),
     &StartupAnswers::weaponCount, &PresetAnswers::weaponCount, "--weapons"},
};

// One answer; nullopt at the end of input. Text that is no 32-bit number is dropped up to the line end.
std::optional<int32_t> ReadAnswer(std::istream& in, const Question& question)
{
    for (;;) {
        ConsoleWrite(question.prompt);
        int32_t value = 0;
        if (in >> value) {
            if (value >= question.minimum && value <= question.maximum)
                return value;
            ConsoleLine(question.error);
            continue;
        }
        if (in.eof() || in.bad())
            return std::nullopt;
        in.clear();
        in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
        if (in.eof())
            return std::nullopt;
    }
}

// Reads what the input already holds past the last answer, without waiting for
// more: the rest of that answer's line, and the lines after it that begin with a
// number, are answers no question took, named on one console line (with some
// questions answered by flags, an answer meant for one of those would otherwise go
// unnoticed). A line that begins with a word is an operator's command: it and what
// follows are left for the console. Returns whether a line end was among what was read.
bool ReportUnusedInput(std::istream& in)
{
    // Enough for any mistyped answers; a large file on standard input is not read through.
    constexpr size_t kMostRead = 1024;
    std::streambuf& buffer = *in.rdbuf();
    auto available = [&] { return buffer.in_avail() > 0; };
    std::string rest;
    bool lineStart = false;
    while (rest.size() < kMostRead && available()) {
        char next = static_cast<char>(buffer.sgetc());
        bool blank = next == ' ' || next == '\t' || next == '\r';
        bool number = std::isdigit(static_cast<unsigned char>(next)) || next == '-' || next == '+';
        if (lineStart && !blank && !number && next != '\n')
            break;
        rest += static_cast<char>(buffer.sbumpc());
        lineStart = next == '\n' || (lineStart && blank);
    }
    std::istringstream left(rest);
    std::string word, words;
    int count = 0;
    while (left >> word)
        words += (count++ > 0 ? " " : "") + word;
    if (count > 0)
        ConsoleLine(count > 1 ? "Unused answers on standard input: " : "Unused answer on standard input: ",
                    EscapeForConsole(words));
    return rest.find('\n') != std::string::npos;
}

} // namespace

std::span<const Question> StartupQuestions() { return kQuestions; }

std::optional<StartupAnswers> AskStartupQuestions(std::istream& in, const PresetAnswers& preset)
{
    StartupAnswers answers;
    bool readAny = false;
    for (const Question& question : kQuestions) {
        std::optional<int32_t> value = preset.*question.preset;
        if (!value) {
            value = ReadAnswer(in, question);
            readAny = true;
        }
        if (!value)
            return std::nullopt;
        answers.*question.answer = *value;
    }
    answers.lineEndPending = readAny && !ReportUnusedInput(in);
    return answers;
}

} // namespace skirmish

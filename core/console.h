#pragma once

#include <cstdint>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>

namespace skirmish {

// Where log and status lines go: standard output unless a test redirected it.
std::ostream& ConsoleStream();
void SetConsoleStream(std::ostream* stream);
// Text with no line end: a prompt, which the operator answers on the same line.
inline void ConsoleWrite(const char* text) { ConsoleStream() << text << std::flush; }

// Writes the pieces, a line end, and flushes, so a piped console shows each line at once.
template <typename... Pieces>
void ConsoleLine(const Pieces&... pieces)
{
    std::ostringstream line;
    (line << ... << pieces);
    line << '\n';
    ConsoleStream() << line.str() << std::flush;
}

// Client text made safe for the operator's console: control characters, C1
// controls and bytes that are not valid UTF-8 become \xNN; everything else,
// including valid UTF-8, is shown unchanged.
std::string EscapeForConsole(std::string_view text);

// What one client may cost the console: the first kLinesPerSecond lines of each
// second are written, the rest only counted, so a flood of junk cannot turn into a
// flood of console output. A second starts at the first line after the last one ended.
class LineBudget {
public:
    static constexpr int kLinesPerSecond = 5;
    static constexpr int32_t kSecondMs = 1000;

    // True when a line may be written at now; false when it is counted as withheld.
    // Withheld lines of a second that is over must have been taken first.
    bool allow(int32_t now);
    // The count of lines withheld in a second that is over by now (or, with ended,
    // whether over or not), which the caller reports; 0 when there is nothing to report.
    uint64_t takeWithheld(int32_t now, bool ended = false);
    // Milliseconds until a withheld count falls due to be reported; -1: none pending.
    int64_t msUntilReport(int32_t now) const;

private:
    // Within the second that began at start_; any other reading (later, or across a
    // wrap of the clock) is outside it.
    bool inSecond(int32_t now) const { return static_cast<uint32_t>(now) - static_cast<uint32_t>(start_) < kSecondMs; }

    bool open_ = false;
    int32_t start_ = 0;
    int written_ = 0;
    uint64_t withheld_ = 0;
};

class ScopedConsole {
public:
    explicit ScopedConsole(std::ostream& stream) { SetConsoleStream(&stream); }
    ~ScopedConsole() { SetConsoleStream(nullptr); }
    ScopedConsole(const ScopedConsole&) = delete;
    ScopedConsole& operator=(const ScopedConsole&) = delete;
};

} // namespace skirmish

#pragma once

#include <ostream>
#include <sstream>
#include <string>
#include <string_view>

namespace skirmish {

// Where log and status lines go: standard output unless a test redirected it.
std::ostream& ConsoleStream();
void SetConsoleStream(std::ostream* stream);

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

class ScopedConsole {
public:
    explicit ScopedConsole(std::ostream& stream) { SetConsoleStream(&stream); }
    ~ScopedConsole() { SetConsoleStream(nullptr); }
    ScopedConsole(const ScopedConsole&) = delete;
    ScopedConsole& operator=(const ScopedConsole&) = delete;
};

} // namespace skirmish

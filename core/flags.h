#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace skirmish {

// One command-line option of a program: its name ("--port"), whether a value
// follows it, and what to do with that value (false: the value is not acceptable).
struct Flag {
    std::string_view name;
    bool takesValue;
    std::function<bool(std::string_view value)> take;
};

// Walks the arguments in order, each an option of the table (with its value) or,
// where positional is given, a word that does not start with '-'. An option given
// more than once takes its last value: only that one is handed to take, so a value
// overridden later on the command line is never judged. Empty on success, else one
// line that names what was wrong.
std::string ParseFlags(int argc, char** argv, std::span<const Flag> flags,
                       const std::function<bool(std::string_view)>& positional = {});

// The whole text as a number in [minimum, maximum], or nothing: no sign games, no trailing junk.
std::optional<int64_t> ParseWhole(std::string_view text, int64_t minimum, int64_t maximum);
std::optional<double> ParseReal(std::string_view text);

// A flag's take for the usual values: a real number of at least 0, or a whole number
// in [minimum, maximum], written into the variable given.
std::function<bool(std::string_view)> NonNegativeInto(double& into);
std::function<bool(std::string_view)> WholeInto(int64_t& into, int64_t minimum, int64_t maximum);

} // namespace skirmish

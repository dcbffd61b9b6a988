#include "core/flags.h"

#include <charconv>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

namespace skirmish {

std::string ParseFlags(int argc, char** argv, std::span<const Flag> flags,
                       const std::function<bool(std::string_view)>& positional)
{
    // Each flag's last occurrence with its value, in the order of those occurrences.
    std::vector<std::pair<const Flag*, std::string_view>> given;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (positional && !arg.empty() && arg[0] != '-') {
            if (!positional(arg))
                return "unexpected argument " + std::string(arg);
            continue;
        }
        const Flag* flag = nullptr;
        for (const Flag& candidate : flags)
            if (candidate.name == arg)
                flag = &candidate;
        if (!flag)
            return "unknown option " + std::string(arg);
        std::string_view value;
        if (flag->takesValue) {
            if (i + 1 >= argc)
                return std::string(arg) + " needs a value";
            value = argv[++i];
        }
        std::erase_if(given, [flag](const auto& earlier) { return earlier.first == flag; });
        given.emplace_back(flag, value);
    }
    for (const auto& [flag, value] : given)
        if (!flag->take(value))
            return flag->takesValue ? "bad value for " + std::string(flag->name) + ": " + std::string(value)
                                    : "cannot use " + std::string(flag->name) + " here";
    return {};
}

std::optional<int64_t> ParseWhole(std::string_view text, int64_t minimum, int64_t maximum)
{
    int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < minimum || value > maximum)
        return std::nullopt;
    return value;
}

std::optional<double> ParseReal(std::string_view text)
{
    double value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::function<bool(std::string_view)> NonNegativeInto(double& into)
{
    return [&into](std::string_view text) {
        auto value = ParseReal(text);
        into = value.value_or(into);
        return value && *value >= 0;
    };
}

std::function<bool(std::string_view)> WholeInto(int64_t& into, int64_t minimum, int64_t maximum)
{
    return [&into, minimum, maximum](std::string_view text) {
        auto value = ParseWhole(text, minimum, maximum);
        into = value.value_or(into);
        return value.has_value();
    };
}

} // namespace skirmish

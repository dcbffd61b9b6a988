// Recordings as files: their names, and which of them are kept.
#include "app/recording_files.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>

namespace skirmish {
namespace fs = std::filesystem;
namespace {

constexpr std::string_view kDemoExtension = ".demo";

bool Digits(std::string_view text, size_t from, size_t count)
{
    return text.size() >= from + count &&
           std::all_of(text.begin() + static_cast<ptrdiff_t>(from), text.begin() + static_cast<ptrdiff_t>(from + count),
                       [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

std::string DemoFileName(int64_t startUnixMs, uint16_t port, int attempt)
{
    std::time_t seconds = static_cast<std::time_t>(startUnixMs / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    char name[64];
    if (attempt > 1)
        std::snprintf(name, sizeof name, "%s-%u-%d.demo", stamp, port, attempt);
    else
        std::snprintf(name, sizeof name, "%s-%u.demo", stamp, port);
    return name;
}

bool IsDemoFileName(std::string_view name)
{
    if (!name.ends_with(kDemoExtension) || !Digits(name, 0, 8) || name.substr(8, 1) != "T" || !Digits(name, 9, 6) ||
        name.substr(15, 2) != "Z-")
        return false;
    // The port, then perhaps "-N": digits and at most one dash between them.
    std::string_view rest = name.substr(17, name.size() - 17 - kDemoExtension.size());
    size_t dash = rest.find('-');
    auto number = [](std::string_view part) { return !part.empty() && part.size() <= 5 && Digits(part, 0, part.size()); };
    return dash == std::string_view::npos ? number(rest) : number(rest.substr(0, dash)) && number(rest.substr(dash + 1));
}

void ApplyRetention(const RecordingOptions& options, std::string_view current)
{
    std::map<std::string, uint64_t> files; // by name: oldest first
    uint64_t total = 0;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(options.dir, ec)) {
        std::string name = entry.path().filename().string();
        std::error_code sizeError;
        if (!IsDemoFileName(name) || !entry.is_regular_file(sizeError) || entry.is_symlink(sizeError))
            continue;
        uint64_t size = entry.file_size(sizeError);
        if (!sizeError) {
            files[name] = size;
            total += size;
        }
    }
    size_t count = files.size();
    for (const auto& [name, size] : files) {
        if (count <= static_cast<size_t>(options.keep) && total <= options.maxBytes)
            break;
        if (name == current)
            continue;
        std::error_code removeError;
        if (fs::remove(fs::path(options.dir) / name, removeError)) {
            total -= size;
            --count;
        }
    }
}

} // namespace skirmish

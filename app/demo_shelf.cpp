#include "app/demo_shelf.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <ctime>
#include <set>

#include "app/recorder.h"
#include "demo/demo_format.h"

namespace skirmish {
namespace {

bool ReadAt(int fd, uint8_t* into, size_t bytes, uint64_t offset)
{
    return pread(fd, into, bytes, static_cast<off_t>(offset)) == static_cast<ssize_t>(bytes);
}

std::string Duration(uint32_t ms)
{
    uint32_t seconds = ms / 1000;
    char text[32];
    std::snprintf(text, sizeof text, "%u:%02u", seconds / 60, seconds % 60);
    return text;
}

std::string Size(uint64_t bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

std::string StartTime(int64_t unixMs)
{
    std::time_t seconds = static_cast<std::time_t>(unixMs / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
    return text;
}

} // namespace

int OpenRecording(const std::string& dir, std::string_view name)
{
    if (!IsDemoFileName(name))
        return -1;
    int folder = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return -1;
    int fd = ::openat(folder, std::string(name).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    ::close(folder);
    struct stat status {};
    if (fd >= 0 && (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void DemoShelf::scan(Seen& seen, int fd, uint64_t size)
{
    if (seen.scanned == 0) {
        std::array<uint8_t, kDemoHeaderBytes> header{};
        auto decoded = ReadAt(fd, header.data(), header.size(), 0) ? DecodeDemoHeader(header) : std::nullopt;
        if (decoded) {
            seen.summary.startUnixMs = decoded->startUnixMs;
            seen.scanned = kDemoHeaderBytes;
        }
    }
    std::array<uint8_t, kDemoBlockHeadBytes> head{};
    while (seen.scanned != 0 && seen.scanned + head.size() <= size &&
           ReadAt(fd, head.data(), head.size(), seen.scanned)) {
        auto block = DecodeDemoBlockHead(head);
        if (!block || seen.scanned + block->size() > size)
            break; // not whole yet, or damaged: listed as far as it goes
        seen.summary.lengthMs = block->lastMs;
        seen.summary.mostPlayers = std::max(seen.summary.mostPlayers, block->mostPlayers);
        seen.scanned += block->size();
    }
}

std::vector<DemoSummary> DemoShelf::list()
{
    std::set<std::string, std::less<>> present;
    int folder = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* entries = folder >= 0 ? fdopendir(folder) : nullptr;
    if (!entries && folder >= 0)
        ::close(folder);
    while (dirent* entry = entries ? readdir(entries) : nullptr) {
        std::string name = entry->d_name;
        int fd = IsDemoFileName(name) ? OpenRecording(dir_, name) : -1;
        struct stat status {};
        if (fd < 0 || fstat(fd, &status) != 0) {
            if (fd >= 0)
                ::close(fd);
            continue;
        }
        present.insert(name);
        Seen& seen = seen_[name];
        seen.summary.name = name;
        seen.summary.bytes = static_cast<uint64_t>(status.st_size);
        scan(seen, fd, seen.summary.bytes);
        ::close(fd);
    }
    if (entries)
        closedir(entries);
    std::erase_if(seen_, [&](const auto& entry) { return !present.contains(entry.first); });
    std::vector<DemoSummary> demos;
    for (const auto& [name, seen] : seen_)
        if (seen.scanned != 0)
            demos.push_back(seen.summary);
    return demos;
}

std::string DemoListPage(const std::vector<DemoSummary>& demos, std::string_view recording)
{
    // Names are a recording's (digits, "T", "Z", "-", ".demo"): nothing in them needs escaping.
    std::string page =
        "<!doctype html>\n<html lang=\"en\" class=\"list\">\n<head>\n  <meta charset=\"utf-8\">\n"
        "  <meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "  <title>Skirmish: recordings</title>\n  <meta name=\"theme-color\" content=\"#14161a\">\n"
        "  <link rel=\"icon\" href=\"/icon.svg\" type=\"image/svg+xml\">\n"
        "  <link rel=\"stylesheet\" href=\"/style.css\">\n</head>\n<body class=\"list\">\n"
        "<h1>Recordings</h1>\n<p><a href=\"/\">play</a> · <a href=\"/watch\">watch live</a></p>\n";
    if (demos.empty())
        return page + "<p>No recordings yet: one starts when the first player joins.</p>\n</body>\n</html>\n";
    page += "<table>\n<thead><tr><th>Started (UTC)</th><th>Length</th><th>Size</th><th>Most players</th><th></th>"
            "</tr></thead>\n<tbody>\n";
    for (const DemoSummary& demo : demos) {
        page += "<tr><td><a href=\"/replay?demo=" + demo.name + "\">" + StartTime(demo.startUnixMs) + "</a>" +
                (demo.name == recording ? " (recording)" : "") + "</td><td>" + Duration(demo.lengthMs) + "</td><td>" +
                Size(demo.bytes) + "</td><td>" + std::to_string(demo.mostPlayers) + "</td><td><a href=\"/demos/" +
                demo.name + "\" download>download</a></td></tr>\n";
    }
    return page + "</tbody>\n</table>\n</body>\n</html>\n";
}

} // namespace skirmish

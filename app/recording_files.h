#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace skirmish {

// Where recordings go and how many are kept.
struct RecordingOptions {
    bool enabled = true;
    std::string dir = "demos";
    int keep = 50;                            // files, the one being written among them
    uint64_t maxBytes = 1024ull * 1024 * 1024; // all files together
};

// "YYYYMMDDTHHMMSSZ-PORT.demo" for a start time, with "-N" before ".demo" for the Nth
// file of the same second; nothing a client sends reaches a name.
std::string DemoFileName(int64_t startUnixMs, uint16_t port, int attempt = 1);
bool IsDemoFileName(std::string_view name);

// Removes the oldest recordings in dir (by name, which is by start time) until at most
// keep remain and they take at most maxBytes together, never the one named current.
// Only regular files count: a link or anything else named like a recording is left alone.
void ApplyRetention(const RecordingOptions& options, std::string_view current);

} // namespace skirmish

#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/disk_writer.h"
#include "game/level.h"
#include "game/outbox.h"

namespace skirmish {

class Recorder;

// What one stream may hold unwritten; past it, lines are lost and counted, never waited for.
constexpr size_t kEventLogMostWaitingBytes = 4 * 1024 * 1024;

// One JSON object a line, appended to a file (or standard output) by a disk thread of
// its own. Whatever the disk does, add() returns at once: a line that finds the
// stream's backlog full, or whose write fails, is lost, and the next line written is
// preceded by {"event":"lost","count":N}. Each batch goes out in one write, so a crash
// leaves the file readable up to its last whole line.
class JsonLines {
public:
    // "-" is standard output. Null, with error set, when the file cannot be opened.
    static std::unique_ptr<JsonLines> Open(const std::string& path, std::string& error, DiskIo& io = SystemDisk());
    JsonLines(int fd, bool owned, DiskIo& io = SystemDisk());
    ~JsonLines();
    JsonLines(const JsonLines&) = delete;
    JsonLines& operator=(const JsonLines&) = delete;

    void add(std::string line); // without its line end
    uint64_t lost() const;
    // Waits until what was added is written: for tests.
    void settle() { writer_.drain(); }

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    DiskWriter writer_; // last: its thread ends before what its jobs touch
};

using EventFields = nlohmann::ordered_json;

// The match's events, each stamped with the wall clock's time and its kind.
class EventLog {
public:
    EventLog(std::unique_ptr<JsonLines> lines, std::function<int64_t()> wallMs)
        : lines_(std::move(lines)), wallMs_(std::move(wallMs))
    {
    }
    void write(std::string_view event, EventFields fields = EventFields::object());
    uint64_t lost() const { return lines_->lost(); }
    void settle() { lines_->settle(); }

    // After each pass: players seated or gone since the last, and a recording started or ended.
    void afterPass(const Level& level, const Recorder* recorder);
    // Hosting is over: everyone still seated leaves, and the recording ends.
    void ended(const Level& level);
    // Read from a message to all: a leave, a name, a death, a chat line or a respawn.
    void observe(const Level& level, std::span<const uint8_t> message);

private:
    void joined(const Level& level, int id);
    void seen(const Level& level, int id); // joined, unless already told

    std::unique_ptr<JsonLines> lines_;
    std::function<int64_t()> wallMs_;
    std::vector<bool> seated_; // by id, as the log last told it
    std::string recording_;    // the file being recorded, as the log last told it
};

// "2026-01-31T12:00:00.000Z" for milliseconds since 1970.
std::string UtcTime(int64_t ms);

// The log of --event-log (null when not asked for), or null with error set.
std::unique_ptr<EventLog> OpenEventLog(const std::string& path, std::function<int64_t()> wallMs, std::string& error);

// Passes everything on, telling the log what it reads in the messages to all.
class EventTap final : public Outbox {
public:
    EventTap(Outbox& out, EventLog* log, const Level& level) : out_(out), log_(log), level_(level) {}
    void toPlayer(int id, const MessageWriter& message) override { out_.toPlayer(id, message); }
    void toAll(const MessageWriter& message) override
    {
        if (log_)
            log_->observe(level_, message.bytes());
        out_.toAll(message);
    }
    void tickTaken(int32_t tick) override { out_.tickTaken(tick); }

private:
    Outbox& out_;
    EventLog* log_;
    const Level& level_;
};

} // namespace skirmish

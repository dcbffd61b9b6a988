// The match's events as JSON lines, written off the loop.
#include "app/event_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "app/recorder.h"
#include "game/insta_weapon.h"
#include "net/server/net.h"
#include "protocol/names.h"

namespace skirmish {

struct JsonLines::Shared {
    std::mutex mutex;
    std::string waiting; // whole lines, each with its line end
    uint64_t waitingLines = 0;
    uint64_t unsaid = 0; // lost and not yet said in the stream
    bool posted = false; // a job will take what waits
    std::atomic<uint64_t> lost = 0;
    int fd = -1;
    bool owned = false;
    bool torn = false; // the disk thread's: the last write left a piece of a line

    ~Shared()
    {
        if (owned && fd >= 0)
            ::close(fd);
    }
    void lose(uint64_t lines)
    {
        unsaid += lines;
        lost += lines;
    }
};

std::unique_ptr<JsonLines> JsonLines::Open(const std::string& path, std::string& error, DiskIo& io)
{
    if (path == "-")
        return std::make_unique<JsonLines>(STDOUT_FILENO, false, io);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    return std::make_unique<JsonLines>(fd, true, io);
}

JsonLines::JsonLines(int fd, bool owned, DiskIo& io) : shared_(std::make_shared<Shared>()), writer_(io)
{
    shared_->fd = fd;
    shared_->owned = owned;
}

JsonLines::~JsonLines() = default;

uint64_t JsonLines::lost() const { return shared_->lost; }

void JsonLines::add(std::string line)
{
    line += '\n';
    std::lock_guard lock(shared_->mutex);
    if (shared_->waiting.size() + line.size() > kEventLogMostWaitingBytes) {
        shared_->lose(1);
        return;
    }
    shared_->waiting += line;
    ++shared_->waitingLines;
    if (std::exchange(shared_->posted, true))
        return;
    // One job takes everything that waits when it runs: a burst costs one write.
    writer_.post([shared = shared_](DiskIo& io) {
        std::string batch;
        uint64_t lines = 0;
        uint64_t said = 0;
        {
            std::lock_guard lock(shared->mutex);
            said = std::exchange(shared->unsaid, 0);
            if (said > 0)
                batch = R"({"event":"lost","count":)" + std::to_string(said) + "}\n";
            batch += std::exchange(shared->waiting, {});
            lines = std::exchange(shared->waitingLines, 0);
            shared->posted = false;
        }
        if (std::exchange(shared->torn, false)) {
            // Built anew, not inserted at 0: GCC 12 at -O3 takes that insert for an overlapping copy.
            std::string ended = "\n";
            ended += batch;
            batch.swap(ended);
        }
        // A write cut short is taken back, or, where it cannot be (a pipe, or standard
        // output, which the console shares), its piece ended with the next batch:
        // every line after it is whole.
        const off_t before = shared->owned ? lseek(shared->fd, 0, SEEK_END) : -1;
        if (!WriteWhole(io, shared->fd, batch.data(), batch.size())) {
            shared->torn = before < 0 || io.truncate(shared->fd, before) != 0;
            std::lock_guard lock(shared->mutex);
            shared->unsaid += said; // the count did not get out either
            shared->lose(lines);
        }
    });
}

std::string UtcTime(int64_t ms)
{
    const time_t seconds = static_cast<time_t>(ms / 1000);
    tm utc{};
    gmtime_r(&seconds, &utc);
    char text[96]; // room for any int the format could print, as the compiler reckons
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ms % 1000));
    return text;
}

void EventLog::write(std::string_view event, EventFields fields)
{
    EventFields line = {{"time", UtcTime(wallMs_())}, {"event", event}};
    line.update(fields);
    // A client's bytes that are not UTF-8 are written as U+FFFD, never refused.
    lines_->add(line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

namespace {

const Player* Slot(const Level& level, int id)
{
    const auto& players = level.entities.players;
    return id >= 0 && static_cast<size_t>(id) < players.size() ? &players[static_cast<size_t>(id)] : nullptr;
}

std::string NameOf(const Level& level, int id)
{
    const Player* player = Slot(level, id);
    return player ? player->name : std::string();
}

// The float as its shortest decimal (0.437125, not 0.4371250867843628 as a double would print).
double Decimal(float value)
{
    char text[32];
    auto end = std::to_chars(text, text + sizeof text - 1, value).ptr;
    *end = '\0';
    return std::strtod(text, nullptr);
}

// Weapons have no names: the log gives the settings of the one the shooter holds.
EventFields WeaponOf(const Level& level, int id)
{
    const Player* shooter = Slot(level, id);
    const auto* weapon = shooter ? dynamic_cast<const InstaWeapon*>(shooter->weapon.get()) : nullptr;
    if (!weapon)
        return nullptr;
    return {{"damage", weapon->damage}, {"period_s", Decimal(weapon->period)}, {"shots", weapon->numLines},
            {"spread_deg", Decimal(weapon->spread)}, {"range_s", Decimal(weapon->falloff)}};
}

} // namespace

void EventLog::joined(const Level& level, int id)
{
    seated_[static_cast<size_t>(id)] = true;
    write("join", {{"id", id}, {"name", NameOf(level, id)}, {"bot", NetIsLocal(id)}});
}

void EventLog::seen(const Level& level, int id)
{
    const Player* player = Slot(level, id);
    if (player && player->connected && !seated_[static_cast<size_t>(id)])
        joined(level, id);
}

// A player seated in this pass may name itself or chat before the pass ends: its join is told first.
void EventLog::observe(const Level& level, std::span<const uint8_t> message)
{
    MessageReader reader(message);
    const std::string name = reader.getString(16);
    seated_.resize(level.entities.players.size());
    if (name == names::kLeft) {
        const int id = reader.getInt();
        if (!Slot(level, id))
            return;
        // Seated and gone within one pass: the join is told first.
        if (!seated_[static_cast<size_t>(id)])
            joined(level, id);
        seated_[static_cast<size_t>(id)] = false;
        write("leave", {{"id", id}, {"name", NameOf(level, id)}});
    } else if (name == names::kJoined) {
        const int id = reader.getInt();
        seen(level, id);
        write("name", {{"id", id}, {"name", reader.getString()}});
    } else if (name == names::kDead) {
        const int victim = reader.getInt();
        const int shooter = reader.getInt();
        write("death", {{"victim", victim},
                        {"victim_name", NameOf(level, victim)},
                        {"shooter", shooter},
                        {"shooter_name", NameOf(level, shooter)},
                        {"weapon", WeaponOf(level, shooter)}});
    } else if (name == names::kPlayerMessage) {
        const int id = reader.getInt();
        seen(level, id);
        if (id != 0) // the server's own lines are logged as the commands that said them
            write("chat", {{"id", id}, {"name", NameOf(level, id)}, {"text", reader.getString()}});
    } else if (name == names::kAlive) {
        write("respawn", {{"id", reader.getInt()}});
    }
}

void EventLog::afterPass(const Level& level, const Recorder* recorder)
{
    const auto& players = level.entities.players;
    seated_.resize(players.size());
    for (size_t id = 0; id < players.size(); ++id)
        if (players[id].connected && !seated_[id])
            joined(level, static_cast<int>(id));
    const std::string recording = recorder ? recorder->currentName() : std::string();
    if (recording == recording_)
        return;
    if (!recording_.empty())
        write("recording_stop", {{"file", recording_}});
    if (!recording.empty())
        write("recording_start", {{"file", recording}});
    recording_ = recording;
}

void EventLog::ended(const Level& level)
{
    for (size_t id = 0; id < seated_.size(); ++id)
        if (seated_[id])
            write("leave", {{"id", id}, {"name", NameOf(level, static_cast<int>(id))}});
    seated_.clear();
    if (!recording_.empty())
        write("recording_stop", {{"file", std::exchange(recording_, {})}});
}

std::unique_ptr<EventLog> OpenEventLog(const std::string& path, std::function<int64_t()> wallMs, std::string& error)
{
    if (path.empty())
        return nullptr;
    std::unique_ptr<JsonLines> lines = JsonLines::Open(path, error);
    return lines ? std::make_unique<EventLog>(std::move(lines), std::move(wallMs)) : nullptr;
}

} // namespace skirmish

#include "app/recorder.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>

#include "core/clock.h"
#include "core/console.h"
#include "game/commands.h"
#include "game/level.h"
#include "game/outbox.h"

namespace skirmish {
namespace fs = std::filesystem;
namespace {

constexpr std::string_view kDemoExtension = ".demo";

// The keyframe: the snapshot a spectator would be sent now, as records.
class KeyframeOutbox final : public Outbox {
public:
    KeyframeOutbox(DemoBlockWriter& block, uint32_t timeMs) : block_(block), timeMs_(timeMs) {}
    void toPlayer(int, const MessageWriter& message) override
    {
        if (!message.overflowed())
            block_.addKeyframe(timeMs_, message.bytes());
    }
    void toAll(const MessageWriter&) override {}

private:
    DemoBlockWriter& block_;
    uint32_t timeMs_;
};

uint16_t PlayersConnected(const Level& level)
{
    return static_cast<uint16_t>(std::count_if(level.entities.players.begin(), level.entities.players.end(),
                                               [](const Player& player) { return player.connected; }));
}

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
        uint64_t size = entry.is_regular_file(sizeError) ? entry.file_size(sizeError) : 0;
        if (IsDemoFileName(name) && !sizeError) {
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

Recorder::Recorder(RecordingOptions options, DemoHeader header, std::function<int64_t()> wallMs)
    : options_(std::move(options)), header_(header), wallMs_(std::move(wallMs))
{
}

Recorder::~Recorder() { finish(); }

void Recorder::advance(int32_t now)
{
    uint64_t elapsed = static_cast<uint64_t>(elapsedMs_) + static_cast<uint64_t>(std::max(ElapsedMs(now, lastNow_), 0));
    // A recording of more than 49 days keeps the last time it can write.
    elapsedMs_ = static_cast<uint32_t>(std::min<uint64_t>(elapsed, UINT32_MAX));
    lastNow_ = now;
}

void Recorder::beforePass(const Level& level, int32_t now)
{
    if (fd_ < 0)
        return;
    advance(now);
    playersNow_ = PlayersConnected(level);
    mostPlayers_ = std::max(mostPlayers_, playersNow_);
    if ((countPeople_ ? countPeople_() : playersNow_) == 0) {
        emptySince_ = emptySince_.value_or(now);
        if (ElapsedMs(now, *emptySince_) >= kDemoEmptyEndMs) {
            finish();
            return;
        }
    } else {
        emptySince_.reset();
    }
    if (!block_.empty() && elapsedMs_ - block_.firstMs() >= static_cast<uint32_t>(kDemoFlushMs))
        writeBlock();
    if ((recordedSinceKeyframe_ > 0 && elapsedMs_ - lastKeyframeMs_ >= static_cast<uint32_t>(kDemoKeyframeMs)) ||
        recordedSinceKeyframe_ >= kDemoKeyframeMessages) {
        takeKeyframe(level);
        ApplyRetention(options_, name_);
    }
}

void Recorder::beforeJoin(const Level& level, int32_t now, bool person)
{
    if (fd_ >= 0)
        advance(now);
    else if (options_.enabled && person)
        start(level, now);
}

bool Recorder::start(const Level& level, int32_t now)
{
    std::error_code ec;
    fs::create_directories(options_.dir, ec);
    header_.startUnixMs = wallMs_();
    for (int attempt = 1; fd_ < 0 && attempt <= 100; ++attempt) {
        name_ = DemoFileName(header_.startUnixMs, header_.port, attempt);
        fd_ = ::open((fs::path(options_.dir) / name_).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd_ < 0 && errno != EEXIST)
            break;
    }
    if (fd_ < 0) {
        fail("cannot create a file in " + options_.dir + ": " + std::strerror(errno));
        return false;
    }
    if (!writeAll(EncodeDemoHeader(header_)))
        return false;
    failing_ = false;
    lastNow_ = now;
    elapsedMs_ = 0;
    playersNow_ = mostPlayers_ = PlayersConnected(level);
    emptySince_.reset();
    takeKeyframe(level);
    ConsoleLine("Recording to ", (fs::path(options_.dir) / name_).string());
    ApplyRetention(options_, name_);
    return true;
}

void Recorder::takeKeyframe(const Level& level)
{
    if (!block_.empty())
        writeBlock();
    KeyframeOutbox keyframe(block_, elapsedMs_);
    SendLevelSnapshot(level, 0, keyframe);
    lastKeyframeMs_ = elapsedMs_;
    recordedSinceKeyframe_ = 0;
}

void Recorder::record(std::span<const uint8_t> message)
{
    if (fd_ < 0)
        return;
    block_.add(elapsedMs_, message);
    ++recordedSinceKeyframe_;
    if (block_.rawBytes() >= kDemoBlockCloseBytes)
        writeBlock();
}

std::optional<int32_t> Recorder::msUntilDue(int32_t now) const
{
    if (fd_ < 0)
        return std::nullopt;
    std::optional<int32_t> due;
    if (emptySince_)
        due = std::max(kDemoEmptyEndMs - ElapsedMs(now, *emptySince_), 0);
    if (!block_.empty()) {
        int64_t age = static_cast<int64_t>(elapsedMs_) - block_.firstMs() + std::max(ElapsedMs(now, lastNow_), 0);
        int32_t wait = static_cast<int32_t>(std::max<int64_t>(kDemoFlushMs - age, 0));
        due = std::min(due.value_or(wait), wait);
    }
    return due;
}

void Recorder::writeBlock()
{
    Bytes block = block_.finish(mostPlayers_);
    mostPlayers_ = playersNow_;
    writeAll(block);
}

// One write a block, so that a reader sees whole blocks or a torn last one, never a hole.
bool Recorder::writeAll(std::span<const uint8_t> bytes)
{
    while (!bytes.empty()) {
        ssize_t written = ::write(fd_, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            fail("cannot write " + name_ + ": " + std::strerror(written < 0 ? errno : ENOSPC));
            return false;
        }
        bytes = bytes.subspan(static_cast<size_t>(written));
        bytesWritten_ += static_cast<uint64_t>(written);
    }
    return true;
}

void Recorder::fail(const std::string& why)
{
    if (!failing_)
        ConsoleLine("Recording stopped: ", why);
    failing_ = true;
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    name_.clear();
    block_ = DemoBlockWriter{};
}

void Recorder::finish()
{
    if (fd_ < 0)
        return;
    if (!block_.empty())
        writeBlock();
    if (fd_ >= 0) {
        ::close(fd_);
        ConsoleLine("Recording ended: ", (fs::path(options_.dir) / name_).string());
    }
    fd_ = -1;
    name_.clear();
}

} // namespace skirmish

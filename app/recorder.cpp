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
#include "game/timers.h"

namespace skirmish {
namespace fs = std::filesystem;
namespace {

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

} // namespace

// The writer's side of one recording, touched only on the writer's thread.
struct Recorder::File {
    std::string name;
    int fd = -1;       // -1 before it is created and once it has failed or ended
    uint64_t whole = 0; // bytes of the header and the whole blocks written
    ~File()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

Recorder::Recorder(RecordingOptions options, DemoHeader header, std::function<int64_t()> wallMs, DiskIo& io)
    : options_(std::move(options)), header_(header), wallMs_(std::move(wallMs)), writer_(io)
{
}

// The exit waits for the disk a bounded time (a stuck one is left behind, and said).
Recorder::~Recorder()
{
    end();
    if (writer_.stop(kDiskExitWait))
        takeFindings();
}

void Recorder::setName(std::string name) { name_->set(std::move(name)); }

void Recorder::advance(int32_t now)
{
    uint64_t elapsed = static_cast<uint64_t>(elapsedMs_) + static_cast<uint64_t>(std::max(ElapsedMs(now, lastNow_), 0));
    // A recording of more than 49 days keeps the last time it can write.
    elapsedMs_ = static_cast<uint32_t>(std::min<uint64_t>(elapsed, UINT32_MAX));
    lastNow_ = now;
}

void Recorder::takeFindings()
{
    for (Finding& finding : findings_.take()) {
        const bool current = finding.file == file_;
        if (finding.failure.empty()) {
            failedInARow_ = 0;
            if (current)
                setName(finding.name);
            ConsoleLine("Recording to ", (fs::path(options_.dir) / finding.name).string());
            continue;
        }
        ++failures_;
        // A full disk fails every join's retry: the operator reads the first failure
        // and the first failed retry, and nothing more until a recording starts.
        if (failedInARow_ == 0)
            ConsoleLine("Recording stopped: ", finding.failure);
        else if (failedInARow_ == 1)
            ConsoleLine("Recording could not start again: ", finding.failure,
                        " (each join tries again; nothing more is said until one starts)");
        ++failedInARow_;
        if (current) {
            file_.reset();
            setName("");
            block_ = DemoBlockWriter{};
        }
    }
}

void Recorder::beforePass(const Level& level, int32_t now)
{
    takeFindings();
    if (!file_)
        return;
    advance(now);
    playersNow_ = PlayersConnected(level);
    mostPlayers_ = std::max(mostPlayers_, playersNow_);
    if ((countPeople_ ? countPeople_() : playersNow_) == 0) {
        emptySince_ = emptySince_.value_or(now);
        if (ElapsedMs(now, *emptySince_) >= kDemoEmptyEndMs) {
            end();
            return;
        }
    } else {
        emptySince_.reset();
    }
    if (!block_.empty() && elapsedMs_ - block_.firstMs() >= static_cast<uint32_t>(kDemoFlushMs))
        handOverBlock();
    if (file_ && ((recordedSinceKeyframe_ > 0 && elapsedMs_ - lastKeyframeMs_ >= static_cast<uint32_t>(kDemoKeyframeMs)) ||
                  recordedSinceKeyframe_ >= kDemoKeyframeMessages)) {
        takeKeyframe(level);
        writer_.post([options = options_, file = file_](DiskIo&) { ApplyRetention(options, file->name); });
    }
}

void Recorder::beforeJoin(const Level& level, int32_t now, bool person)
{
    takeFindings();
    if (file_)
        advance(now);
    else if (options_.enabled && person)
        start(level, now);
}

bool Recorder::start(const Level& level, int32_t now)
{
    header_.startUnixMs = wallMs_();
    // Two starts in one second take "-2", "-3"...; the writer goes on counting past
    // any name already taken in the folder.
    std::string stamp = DemoFileName(header_.startUnixMs, header_.port);
    attempt_ = stamp == lastStamp_ ? attempt_ + 1 : 1;
    lastStamp_ = stamp;
    file_ = std::make_shared<File>();
    file_->name = DemoFileName(header_.startUnixMs, header_.port, attempt_);
    setName(file_->name);
    writer_.post([shared = shared_, file = file_, options = options_, header = header_, attempt = attempt_](DiskIo& io) {
        Mailbox<Finding>& findings_ = shared->findings;
        std::error_code ec;
        fs::create_directories(options.dir, ec);
        for (int n = attempt; file->fd < 0 && n < attempt + 100; ++n) {
            file->name = DemoFileName(header.startUnixMs, header.port, n);
            file->fd = ::open((fs::path(options.dir) / file->name).c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (file->fd < 0 && errno != EEXIST)
                break;
        }
        if (file->fd < 0)
            return findings_.put({file, "", "cannot create a file in " + options.dir + ": " + std::strerror(errno)});
        Bytes head = EncodeDemoHeader(header);
        if (!WriteWhole(io, file->fd, head.data(), head.size())) {
            // A file without its header is no recording: none is left behind.
            std::string why = "cannot write " + file->name + ": " + std::strerror(errno);
            ::close(std::exchange(file->fd, -1));
            ::unlink((fs::path(options.dir) / file->name).c_str());
            return findings_.put({file, "", why});
        }
        file->whole = head.size();
        shared->bytesWritten += head.size();
        findings_.put({file, file->name, ""});
        ApplyRetention(options, file->name);
    });
    lastNow_ = now;
    elapsedMs_ = 0;
    playersNow_ = mostPlayers_ = PlayersConnected(level);
    emptySince_.reset();
    takeKeyframe(level);
    return true;
}

void Recorder::takeKeyframe(const Level& level)
{
    if (!block_.empty())
        handOverBlock();
    KeyframeOutbox keyframe(block_, elapsedMs_);
    SendLevelSnapshot(level, 0, keyframe);
    lastKeyframeMs_ = elapsedMs_;
    recordedSinceKeyframe_ = 0;
}

void Recorder::record(std::span<const uint8_t> message)
{
    if (!file_)
        return;
    block_.add(elapsedMs_, message);
    ++recordedSinceKeyframe_;
    if (block_.rawBytes() >= kDemoBlockCloseBytes)
        handOverBlock();
}

std::optional<int32_t> Recorder::msUntilDue(int32_t now) const
{
    if (!file_)
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

// The block is compressed and written on the writer's thread, with one write, so that
// a reader sees whole blocks or a torn last one, never a hole; a write that fails is
// cut back to the last whole block.
void Recorder::handOverBlock()
{
    auto block = std::make_shared<DemoBlockWriter>(std::exchange(block_, DemoBlockWriter{}));
    const uint16_t mostPlayers = std::exchange(mostPlayers_, playersNow_);
    writer_.post(
        [shared = shared_, file = file_, block, mostPlayers](DiskIo& io) {
            if (file->fd < 0)
                return;
            Bytes bytes = block->finish(mostPlayers);
            if (WriteWhole(io, file->fd, bytes.data(), bytes.size())) {
                file->whole += bytes.size();
                shared->bytesWritten += bytes.size();
                return;
            }
            std::string why = "cannot write " + file->name + ": " + std::strerror(errno);
            // A reader reads up to the last whole block either way; a cut that fails leaves a torn one after it.
            if (io.truncate(file->fd, static_cast<off_t>(file->whole)) != 0)
                why += "; its torn last block could not be cut off: " + std::string(std::strerror(errno));
            ::close(std::exchange(file->fd, -1));
            shared->findings.put({file, "", why});
        },
        block->rawBytes(), "the recording " + (fs::path(options_.dir) / currentName()).string());
    if (writer_.queuedBytes() > kDemoMostWaitingBytes) {
        findings_.put({file_, "", "the disk takes blocks more slowly than the match makes them (" +
                                      std::to_string(kDemoMostWaitingBytes >> 20) + " MiB wait to be written)"});
        auto file = file_;
        writer_.post([file](DiskIo&) {
            if (file->fd >= 0)
                ::close(std::exchange(file->fd, -1));
        });
        takeFindings();
    }
}

void Recorder::end()
{
    if (!file_)
        return;
    if (!block_.empty())
        handOverBlock();
    if (!file_)
        return;
    writer_.post([file = file_](DiskIo&) {
        if (file->fd >= 0)
            ::close(std::exchange(file->fd, -1));
    });
    ConsoleLine("Recording ended: ", (fs::path(options_.dir) / currentName()).string());
    file_.reset();
    setName("");
}

void Recorder::finish()
{
    end();
    settle();
}

void Recorder::settle()
{
    writer_.drain();
    takeFindings();
}

std::unique_ptr<Recorder> StartRecordings(const RecordingOptions& options, uint16_t port, const Level& level,
                                          std::function<int64_t()> wallMs)
{
    if (!options.enabled)
        return nullptr;
    DemoHeader header{.tickMs = static_cast<uint16_t>(kMovementTickMs),
                      .port = port,
                      .mapWidth = static_cast<uint32_t>(level.sizeX),
                      .mapHeight = static_cast<uint32_t>(level.sizeY),
                      .seed = static_cast<uint32_t>(level.seed)};
    return std::make_unique<Recorder>(options, header, std::move(wallMs));
}

} // namespace skirmish

#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/disk_writer.h"
#include "app/recording_files.h"
#include "demo/demo_format.h"

namespace skirmish {

struct Level;


// A block is written at least this often while anything is recorded.
constexpr int32_t kDemoFlushMs = 1000;
// A keyframe starts a block once this long has passed since the last, if anything
// happened since, or sooner once this many messages were recorded since: what a seek
// replays after its keyframe stays bounded however busy the match.
constexpr int32_t kDemoKeyframeMs = 5000;
constexpr uint32_t kDemoKeyframeMessages = 20000;
// A recording ends once no player has been connected for this long.
constexpr int32_t kDemoEmptyEndMs = 60000;
// A block closes early at this many raw bytes, well within what readers accept.
constexpr size_t kDemoBlockCloseBytes = 1024 * 1024;
// A disk that takes blocks more slowly than a match makes them stops the recording
// once this much waits to be written, rather than hold more and more memory.
constexpr uint64_t kDemoMostWaitingBytes = 64ull * 1024 * 1024;


// The name of the file being written, readable from any thread, and for as long as
// anyone holds it (the web front's disk thread may outlive the recorder by a moment).
class SharedName {
public:
    std::string get() const
    {
        std::lock_guard lock(mutex_);
        return name_;
    }
    void set(std::string name)
    {
        std::lock_guard lock(mutex_);
        name_ = std::move(name);
    }

private:
    mutable std::mutex mutex_;
    std::string name_;
};

// Records what spectators are told: the snapshot, then every message to all, each
// stamped with the milliseconds since the recording began (the pass's clock reading),
// with a keyframe snapshot about every kDemoKeyframeMs. It starts when the first
// player joins and ends after kDemoEmptyEndMs with nobody connected, or at finish().
// The pass only gathers records: compressing and writing each block, creating the
// file and retention happen on the writer's thread, one write a block, so a file cut
// at any moment plays up to its last whole block. A failure to write ends the
// recording on its last whole block with one console line; the game goes on.
class Recorder;
// The recorder of this match's recordings, when the options ask for them (else null).
std::unique_ptr<Recorder> StartRecordings(const RecordingOptions& options, uint16_t port, const Level& level,
                                          std::function<int64_t()> wallMs);

class Recorder {
public:
    // header: everything but the start time, which is the wall clock's at each start.
    Recorder(RecordingOptions options, DemoHeader header, std::function<int64_t()> wallMs,
             DiskIo& io = SystemDisk());
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // At the start of a pass, before it tells anyone anything.
    void beforePass(const Level& level, int32_t now);
    // Before a player is seated: the level as it stands is the first keyframe of a
    // recording that starts now, if none runs and the player is a person.
    void beforeJoin(const Level& level, int32_t now, bool person = true);
    // With the server's own bots playing, a recording ends once no person (as this
    // counts them) has been connected for kDemoEmptyEndMs, bots or not; unset, every
    // seated player counts.
    void countPeopleBy(std::function<int()> count) { countPeople_ = std::move(count); }
    // One message sent to all, in this pass.
    void record(std::span<const uint8_t> message);
    // Milliseconds until a block is due to be handed over or the recording to end.
    std::optional<int32_t> msUntilDue(int32_t now) const;
    // Hands over what is held, closes the file and waits for the writer: tests'.
    void finish();
    // Waits until what was handed over is written and takes what the writer found
    // (a failure, the file's name): for tests, which look at files between passes.
    void settle();
    // The file being written, "" when none; any thread may ask.
    std::string currentName() const { return name_->get(); }
    std::shared_ptr<const SharedName> nameSource() const { return name_; }
    const RecordingOptions& options() const { return options_; }
    uint64_t bytesWritten() const { return shared_->bytesWritten; }
    uint64_t failures() const { return failures_; }

    struct File; // the writer's side of one recording

private:
    struct Finding {
        std::shared_ptr<File> file;
        std::string name; // the name the file was created with, when not the one asked for
        std::string failure;
    };
    bool start(const Level& level, int32_t now);
    void end();
    void advance(int32_t now);
    void takeKeyframe(const Level& level);
    void handOverBlock();
    void takeFindings();
    void setName(std::string name);

    RecordingOptions options_;
    DemoHeader header_;
    std::function<int64_t()> wallMs_;
    std::function<int()> countPeople_;
    // What the writer's jobs report, held by them too: a job the exit leaves to a
    // stuck disk may finish after the recorder is gone.
    struct Shared {
        Mailbox<Finding> findings;
        std::atomic<uint64_t> bytesWritten = 0;
    };
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
    Mailbox<Finding>& findings_ = shared_->findings;
    std::shared_ptr<File> file_; // null when nothing is recorded
    std::shared_ptr<SharedName> name_ = std::make_shared<SharedName>();
    std::string lastStamp_; // the name of the last start, to number one of the same second
    int attempt_ = 1;
    DemoBlockWriter block_;
    int32_t lastNow_ = 0;
    uint32_t elapsedMs_ = 0; // since the recording began
    uint32_t lastKeyframeMs_ = 0;
    uint32_t recordedSinceKeyframe_ = 0;
    uint16_t playersNow_ = 0;
    uint16_t mostPlayers_ = 0; // in the block being gathered
    std::optional<int32_t> emptySince_;
    int failedInARow_ = 0; // the first failure and the first failed retry are said, no more
    uint64_t failures_ = 0;
    DiskWriter writer_; // last: its thread ends before what its jobs touch
};

} // namespace skirmish

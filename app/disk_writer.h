#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "net/server/net.h"

namespace skirmish {

// What the server does to the files it writes, replaceable in tests: a disk that
// fills up or stalls is a DiskIo that fails or blocks.
class DiskIo {
public:
    virtual ~DiskIo() = default;
    virtual ssize_t write(int fd, const void* data, size_t bytes);
    virtual int fsync(int fd);
    virtual int truncate(int fd, off_t length);
};
DiskIo& SystemDisk();

// Writes all of bytes with as many writes as it takes; false with errno set when one
// fails (a write that takes nothing counts as a full disk).
bool WriteWhole(DiskIo& io, int fd, const void* data, size_t bytes);

// How long the exit waits for each disk thread to finish what it was handed: a disk
// that hangs (a dead network mount, a write that never returns) must not hold the
// process, whose clients have already heard "ServerQuit".
constexpr std::chrono::milliseconds kDiskExitWait{2000};

// One thread that does file work in the order it is handed over. The loop's thread
// hands work over and never waits for it; what the work finds out comes back through
// its owner's own mailbox (which jobs hold shared, as a job may outlive its owner),
// and each job done wakes the loop's wait through wake().
class DiskWriter {
public:
    explicit DiskWriter(DiskIo& io = SystemDisk());
    // stop(kDiskExitWait), unless stopped already.
    ~DiskWriter();
    DiskWriter(const DiskWriter&) = delete;
    DiskWriter& operator=(const DiskWriter&) = delete;

    // bytes: what the job holds in memory until it is done, for queuedBytes(); what:
    // the file it writes, for the console should the exit leave it unwritten.
    void post(std::function<void(DiskIo&)> job, uint64_t bytes = 0, std::string what = {});
    uint64_t queuedBytes() const;
    // Waits until every job handed over so far is done: for tests only.
    void drain();
    // The descriptor the loop's wait watches; take() empties it.
    Wake wake() const;
    void take();
    // Ends the thread once what was handed over is done, waiting at most `most`. A
    // disk still stuck then is left to its thread, which is let go, and what was not
    // written is said on the console. True when everything was done.
    bool stop(std::chrono::milliseconds most);

private:
    struct State; // what the thread touches: it lives as long as the thread
    std::shared_ptr<State> state_;
    std::thread thread_;
};

// Results handed from a writer's thread to the loop's, taken whole.
template <class T>
class Mailbox {
public:
    void put(T item)
    {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(item));
    }
    std::vector<T> take()
    {
        std::lock_guard lock(mutex_);
        return std::exchange(items_, {});
    }

private:
    std::mutex mutex_;
    std::vector<T> items_;
};

} // namespace skirmish

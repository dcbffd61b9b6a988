#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
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
};
DiskIo& SystemDisk();

// Writes all of bytes with as many writes as it takes; false with errno set when one
// fails (a write that takes nothing counts as a full disk).
bool WriteWhole(DiskIo& io, int fd, const void* data, size_t bytes);

// One thread that does file work in the order it is handed over. The loop's thread
// hands work over and never waits for it; what the work finds out comes back through
// its owner's own mailbox, and wake() tells the loop's wait that something came.
class DiskWriter {
public:
    explicit DiskWriter(DiskIo& io = SystemDisk());
    // Does what was handed over, then ends the thread.
    ~DiskWriter();
    DiskWriter(const DiskWriter&) = delete;
    DiskWriter& operator=(const DiskWriter&) = delete;

    // bytes: what the job holds in memory until it is done, for queuedBytes().
    void post(std::function<void(DiskIo&)> job, uint64_t bytes = 0);
    uint64_t queuedBytes() const;
    // Waits until every job handed over so far is done: for teardown and tests only.
    void drain();
    // Called by a job once it has left a result for the loop's thread.
    void notify();
    // The descriptor the loop's wait watches; take() empties it.
    Wake wake() const { return {eventFd_, false, token_}; }
    void take();

private:
    struct Job {
        std::function<void(DiskIo&)> run;
        uint64_t bytes;
    };
    void work();

    DiskIo& io_;
    int eventFd_ = -1;
    uint64_t token_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Job> jobs_;
    uint64_t queuedBytes_ = 0;
    bool busy_ = false;
    bool ending_ = false;
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

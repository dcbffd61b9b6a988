#include "app/disk_writer.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "core/console.h"

namespace skirmish {

ssize_t DiskIo::write(int fd, const void* data, size_t bytes) { return ::write(fd, data, bytes); }
int DiskIo::fsync(int fd) { return ::fsync(fd); }
int DiskIo::truncate(int fd, off_t length) { return ::ftruncate(fd, length); }

DiskIo& SystemDisk()
{
    // Never destroyed: a disk thread let go at the exit may still be using it.
    static DiskIo* disk = new DiskIo;
    return *disk;
}

bool WriteWhole(DiskIo& io, int fd, const void* data, size_t bytes)
{
    const auto* next = static_cast<const uint8_t*>(data);
    while (bytes > 0) {
        ssize_t written = io.write(fd, next, bytes);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = ENOSPC;
            return false;
        }
        next += written;
        bytes -= static_cast<size_t>(written);
    }
    return true;
}

namespace {
// Wake tokens of their own, far from those the admin link numbers from 1.
std::atomic<uint64_t> nextToken{uint64_t{1} << 62};
} // namespace

struct DiskWriter::State {
    struct Job {
        std::function<void(DiskIo&)> run;
        uint64_t bytes;
        std::string what;
    };
    explicit State(DiskIo& disk) : io(disk), eventFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), token(nextToken++) {}
    ~State()
    {
        if (eventFd >= 0)
            ::close(eventFd);
    }
    void work();

    DiskIo& io;
    const int eventFd;
    const uint64_t token;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Job> jobs;
    std::string running; // what the job under way writes
    uint64_t queuedBytes = 0;
    bool busy = false;
    bool ending = false;
    bool ended = false;
};

DiskWriter::DiskWriter(DiskIo& io) : state_(std::make_shared<State>(io))
{
    thread_ = std::thread([state = state_] { state->work(); });
}

DiskWriter::~DiskWriter()
{
    if (thread_.joinable())
        stop(kDiskExitWait);
}

void DiskWriter::post(std::function<void(DiskIo&)> job, uint64_t bytes, std::string what)
{
    {
        std::lock_guard lock(state_->mutex);
        state_->jobs.push_back({std::move(job), bytes, std::move(what)});
        state_->queuedBytes += bytes;
    }
    state_->changed.notify_all();
}

uint64_t DiskWriter::queuedBytes() const
{
    std::lock_guard lock(state_->mutex);
    return state_->queuedBytes;
}

void DiskWriter::drain()
{
    std::unique_lock lock(state_->mutex);
    state_->changed.wait(lock, [this] { return state_->jobs.empty() && !state_->busy; });
}

Wake DiskWriter::wake() const { return {state_->eventFd, false, state_->token}; }

void DiskWriter::take()
{
    uint64_t count = 0;
    [[maybe_unused]] ssize_t read = ::read(state_->eventFd, &count, sizeof count);
}

bool DiskWriter::stop(std::chrono::milliseconds most)
{
    std::unique_lock lock(state_->mutex);
    state_->ending = true;
    state_->changed.notify_all();
    if (state_->changed.wait_for(lock, most, [this] { return state_->ended; })) {
        lock.unlock();
        thread_.join();
        return true;
    }
    // Each file named once, however many of its writes wait.
    std::vector<std::string> left;
    auto note = [&](const std::string& what) {
        if (!what.empty() && std::find(left.begin(), left.end(), what) == left.end())
            left.push_back(what);
    };
    note(state_->running);
    for (const State::Job& job : state_->jobs)
        note(job.what);
    std::deque<State::Job> dropped = std::exchange(state_->jobs, {});
    lock.unlock();
    thread_.detach();
    std::string list;
    for (const std::string& what : left)
        list += (list.empty() ? "" : "; ") + what;
    ConsoleLine("The disk did not finish within ", most.count() / 1000.0, " s of the exit; not written: ",
                list.empty() ? std::string("nothing of note") : list, ".");
    return false;
}

void DiskWriter::State::work()
{
    std::unique_lock lock(mutex);
    for (;;) {
        changed.wait(lock, [this] { return ending || !jobs.empty(); });
        if (jobs.empty())
            break; // ending, and nothing is left to do
        Job job = std::move(jobs.front());
        jobs.pop_front();
        busy = true;
        running = job.what;
        lock.unlock();
        job.run(io);
        // What the job held is freed here, off the loop's thread.
        job.run = nullptr;
        uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(eventFd, &one, sizeof one);
        lock.lock();
        busy = false;
        running.clear();
        queuedBytes -= job.bytes;
        changed.notify_all();
    }
    ended = true;
    changed.notify_all();
}

} // namespace skirmish

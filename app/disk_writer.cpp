#include "app/disk_writer.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace skirmish {

ssize_t DiskIo::write(int fd, const void* data, size_t bytes) { return ::write(fd, data, bytes); }
int DiskIo::fsync(int fd) { return ::fsync(fd); }

DiskIo& SystemDisk()
{
    static DiskIo disk;
    return disk;
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
}

DiskWriter::DiskWriter(DiskIo& io)
    : io_(io), eventFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), token_(nextToken++), thread_([this] { work(); })
{
}

DiskWriter::~DiskWriter()
{
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
    }
    changed_.notify_all();
    thread_.join();
    if (eventFd_ >= 0)
        ::close(eventFd_);
}

void DiskWriter::post(std::function<void(DiskIo&)> job, uint64_t bytes)
{
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back({std::move(job), bytes});
        queuedBytes_ += bytes;
    }
    changed_.notify_all();
}

uint64_t DiskWriter::queuedBytes() const
{
    std::lock_guard lock(mutex_);
    return queuedBytes_;
}

void DiskWriter::drain()
{
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return jobs_.empty() && !busy_; });
}

void DiskWriter::notify()
{
    uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(eventFd_, &one, sizeof one);
}

void DiskWriter::take()
{
    uint64_t count = 0;
    [[maybe_unused]] ssize_t read = ::read(eventFd_, &count, sizeof count);
}

void DiskWriter::work()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return ending_ || !jobs_.empty(); });
        if (jobs_.empty())
            return; // ending, and nothing is left to do
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        busy_ = true;
        lock.unlock();
        job.run(io_);
        lock.lock();
        busy_ = false;
        queuedBytes_ -= job.bytes;
        changed_.notify_all();
    }
}

} // namespace skirmish

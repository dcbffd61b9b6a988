#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>

#include "net/server/web/common.h"

namespace skirmish::web {

// Files, and pages that read the disk, are answered on this thread of the front's
// own: a slow disk or a crowd of downloads costs the loop's thread nothing.
class DiskThread {
public:
    // It runs at a lower priority than the loop: when both want the processor (a
    // crowd downloading over loopback costs the kernel's copies), players come first.
    DiskThread()
        : work_(asio::make_work_guard(io_)), thread_([this] {
              setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kDiskThreadNice);
              io_.run();
          })
    {
    }
    ~DiskThread()
    {
        work_.reset();
        io_.stop();
        thread_.join();
    }
    asio::io_context& io() { return io_; }

private:
    static constexpr int kDiskThreadNice = 10;
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::thread thread_;
};

// Answers one request on the disk thread's io: a page whose body reads the disk, or a
// file of a folder sent with sendfile as the reader takes it. The connection closes
// after it, and done runs (on the disk thread) once it is over.
void AnswerOnDisk(asio::io_context& disk, tcp::socket socket, WebPage page, std::string name,
                  http::request<http::empty_body> request, std::function<void()> done);

} // namespace skirmish::web

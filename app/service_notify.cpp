// systemd's notification protocol, spoken directly: one datagram per state.
#include "app/service_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/clock.h"
#include "core/flags.h"

namespace skirmish {

std::unique_ptr<ServiceNotifier> ServiceNotifier::FromEnvironment()
{
    const char* socket = std::getenv("NOTIFY_SOCKET");
    if (!socket || !*socket)
        return nullptr;
    std::string path = socket;
    int64_t watchdogMs = 0;
    const char* usec = std::getenv("WATCHDOG_USEC");
    const char* pid = std::getenv("WATCHDOG_PID");
    // A watchdog set for another process (our parent's, say) is not ours to feed.
    bool ours = !pid || ParseWhole(pid, 1, INT32_MAX) == getpid();
    if (auto parsed = usec ? ParseWhole(usec, 1, INT64_MAX) : std::nullopt; parsed && ours)
        watchdogMs = std::max<int64_t>(*parsed / 1000, 1);
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
    unsetenv("WATCHDOG_PID");
    return std::make_unique<ServiceNotifier>(std::move(path), watchdogMs);
}

ServiceNotifier::ServiceNotifier(std::string path, int64_t watchdogMs)
    : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)), path_(std::move(path)),
      intervalMs_(static_cast<int32_t>(std::min<int64_t>(watchdogMs / 2, INT32_MAX / 4)))
{
    if (watchdogMs > 0)
        intervalMs_ = std::max(intervalMs_, 1);
}

ServiceNotifier::~ServiceNotifier()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool ServiceNotifier::send(std::string_view state)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (fd_ < 0 || path_.empty() || path_.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path_.data(), path_.size());
    if (path_[0] == '@')
        address.sun_path[0] = '\0'; // an abstract socket's name starts with a NUL
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path_.size());
    return sendto(fd_, state.data(), state.size(), MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&address),
                  length) == static_cast<ssize_t>(state.size());
}

std::optional<int32_t> ServiceNotifier::beat(int32_t now)
{
    if (intervalMs_ <= 0)
        return std::nullopt;
    if (!lastBeat_ || ElapsedMs(now, *lastBeat_) >= intervalMs_) {
        send("WATCHDOG=1");
        lastBeat_ = now;
    }
    return std::max(0, intervalMs_ - ElapsedMs(now, *lastBeat_));
}

} // namespace skirmish

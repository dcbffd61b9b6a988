#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace skirmish {

// The service manager's notification socket (systemd's Type=notify): READY once
// hosting, WATCHDOG=1 from the loop's own beat, STOPPING at the end. Each is one
// datagram sent without waiting; a manager that is gone or slow loses it, the match
// goes on.
class ServiceNotifier {
public:
    // From NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID; null when no manager asked
    // for notifications. Both variables are taken out of the environment, so that
    // nothing this process starts sends in its name.
    static std::unique_ptr<ServiceNotifier> FromEnvironment();
    // path: a file system socket, or "@name" for an abstract one. watchdogMs 0: no watchdog.
    ServiceNotifier(std::string path, int64_t watchdogMs);
    ~ServiceNotifier();
    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;

    bool send(std::string_view state);
    void ready() { send("READY=1"); }
    void stopping() { send("STOPPING=1"); }
    // At each of the loop's beats: WATCHDOG=1 when half the manager's interval has
    // passed since the last one. Returns how long the loop may wait before its next
    // beat is due; nothing when there is no watchdog.
    std::optional<int32_t> beat(int32_t now);

private:
    int fd_ = -1;
    std::string path_;
    int32_t intervalMs_ = 0; // between keep-alives: half the manager's
    std::optional<int32_t> lastBeat_;
};

} // namespace skirmish

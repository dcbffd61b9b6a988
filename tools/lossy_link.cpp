// skirmish-lossy-link: joins two network namespaces with a TUN device in each and
// forwards the IP packets between them, losing and delaying them as told, so that the
// kernel's own TCP and UDP between the namespaces meet real loss and delay (where
// the kernel has no netem). Seeded: one seed and one traffic give the same fates.
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "core/flags.h"
#include "tools/lossy_path.h"

namespace {

const char* const kUsage = R"(Usage: skirmish-lossy-link --netns-a PATH --netns-b PATH [options]

Creates a TUN device in each of two network namespaces (PATH: /run/netns/NAME or
/proc/PID/ns/net) and forwards IP packets between them, each way losing and
delaying them as told. The devices are left down and without addresses: set them up
with "ip -n NAME". Prints "ready" once both exist; runs until SIGTERM or SIGINT, then
prints what each way carried.

  --dev NAME     the devices' name, the same in both namespaces (default skl0)
  --loss P       percent of packets lost, each way (default 0)
  --delay MS     one-way delay (default 0)
  --jitter MS    each delay spread evenly over delay ± jitter; packets may then
                 overtake one another (default 0: they keep their order)
  --seed N       (default 1; the way back draws from N + 1)
  --help         this text
)";

volatile std::sig_atomic_t stopping = 0;
extern "C" void Stop(int) { stopping = 1; }

// A TUN device created inside the namespace at nsPath; the descriptor keeps working
// from any namespace, while the device stays in the one it was made in.
int OpenTunIn(const std::string& nsPath, const std::string& name)
{
    int home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    int target = open(nsPath.c_str(), O_RDONLY | O_CLOEXEC);
    int fd = -1;
    if (home >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0) {
        fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
        ifreq request{};
        request.ifr_flags = IFF_TUN | IFF_NO_PI;
        std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
        if (fd >= 0 && ioctl(fd, TUNSETIFF, &request) != 0) {
            close(fd);
            fd = -1;
        }
        if (setns(home, CLONE_NEWNET) != 0 && fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
    if (home >= 0)
        close(home);
    if (target >= 0)
        close(target);
    return fd;
}

double NowMs()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// What waits on the device goes onto the path: a packet left in the device's queue
// while the loop sleeps would be delayed by more than the link says. A bounded batch,
// so that one side's flood cannot hold back the deliveries.
void Drain(int fd, skirmish::LossyPath& path, std::vector<uint8_t>& buffer)
{
    for (int batch = 0; batch < 256; ++batch) {
        ssize_t got = read(fd, buffer.data(), buffer.size());
        if (got <= 0)
            return;
        path.offer(skirmish::LossyPath::Packet(buffer.begin(), buffer.begin() + got), NowMs());
    }
}

} // namespace

int main(int argc, char** argv)
{
    using namespace skirmish;
    std::string nsA, nsB, dev = "skl0";
    LinkImpairment link;
    int64_t seed = 1;
    bool help = false;
    auto text = [](std::string& into) { return [&into](std::string_view v) { return !(into = v).empty(); }; };
    const Flag flags[] = {
        {"--help", false, [&](std::string_view) { return help = true; }},
        {"--netns-a", true, text(nsA)},
        {"--netns-b", true, text(nsB)},
        {"--dev", true, [&](std::string_view v) { return !(dev = v).empty() && v.size() < IFNAMSIZ; }},
        {"--loss", true, NonNegativeInto(link.lossPercent)},
        {"--delay", true, NonNegativeInto(link.delayMs)},
        {"--jitter", true, NonNegativeInto(link.jitterMs)},
        {"--seed", true, WholeInto(seed, 0, UINT32_MAX - 1)},
    };
    std::string error = ParseFlags(argc, argv, flags);
    if (help && error.empty()) {
        std::cout << kUsage;
        return 0;
    }
    if (error.empty() && (nsA.empty() || nsB.empty()))
        error = "--netns-a and --netns-b are needed";
    if (error.empty() && link.lossPercent > 100)
        error = "--loss is a percentage: 0 to 100";
    if (!error.empty()) {
        std::cerr << "skirmish-lossy-link: " << error << "\n\n" << kUsage;
        return 2;
    }
    const std::array<int, 2> fds = {OpenTunIn(nsA, dev), OpenTunIn(nsB, dev)};
    if (fds[0] < 0 || fds[1] < 0) {
        std::cerr << "skirmish-lossy-link: cannot create TUN device " << dev << " in " << (fds[0] < 0 ? nsA : nsB)
                  << ": " << std::strerror(errno) << "\n";
        return 1;
    }
    std::signal(SIGINT, Stop);
    std::signal(SIGTERM, Stop);
    // paths[i] carries what device i sends to the other.
    std::array<LossyPath, 2> paths = {LossyPath(link, static_cast<uint32_t>(seed)),
                                      LossyPath(link, static_cast<uint32_t>(seed + 1))};
    std::printf("ready\n");
    std::fflush(stdout);
    std::vector<uint8_t> buffer(65536);
    while (!stopping) {
        double wait = 100; // a signal between the check and the wait is seen this late
        const double now = NowMs();
        for (const auto& path : paths)
            if (auto due = path.nextDueMs())
                wait = std::min(wait, std::max(0.0, *due - now));
        const timespec timeout{0, static_cast<long>(std::ceil(wait * 1e3)) * 1000};
        std::array<pollfd, 2> polled = {pollfd{fds[0], POLLIN, 0}, pollfd{fds[1], POLLIN, 0}};
        if (ppoll(polled.data(), polled.size(), &timeout, nullptr) < 0 && errno != EINTR)
            break;
        for (size_t i = 0; i < 2; ++i)
            if (polled[i].revents & POLLIN)
                Drain(fds[i], paths[i], buffer);
        for (size_t i = 0; i < 2; ++i)
            paths[i].deliverDue(NowMs(), [&](const LossyPath::Packet& packet) {
                // A packet the other side cannot take now is lost, as on any link.
                [[maybe_unused]] ssize_t written = write(fds[1 - i], packet.data(), packet.size());
            });
    }
    for (size_t i = 0; i < 2; ++i) {
        const auto& c = paths[i].counts();
        std::printf("%s: %llu in, %llu lost, %llu over the queue, %llu delivered\n", i == 0 ? "a->b" : "b->a",
                    static_cast<unsigned long long>(c.offered), static_cast<unsigned long long>(c.lost),
                    static_cast<unsigned long long>(c.overflowed), static_cast<unsigned long long>(c.delivered));
    }
    close(fds[0]);
    close(fds[1]);
    return 0;
}

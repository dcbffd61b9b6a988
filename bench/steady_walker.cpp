// steady-walker PORT NAME SECONDS: a player that walks steadily for the feel benchmark. It
// joins over ENet, waits until it is alive, respawns at room-table entry 1, then sends a
// "Move" of 6 map units along x every 33 ms, turning back every 2 s, so that a page can
// watch someone move at an even pace. It prints "walking" once it walks.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "net/client/client.h"
#include "protocol/messages.h"

int main(int argc, char** argv)
{
    using namespace skirmish;
    using Clock = std::chrono::steady_clock;
    if (argc != 4) {
        std::fprintf(stderr, "usage: steady-walker PORT NAME SECONDS\n");
        return 2;
    }
    NetClient client;
    if (!client.connect("127.0.0.1", static_cast<uint16_t>(std::atoi(argv[1])), 3000))
        return 1;
    client.send(command::Name(argv[2]));
    bool alive = false;
    for (auto until = Clock::now() + std::chrono::seconds(10); !alive && Clock::now() < until;) {
        client.service(10);
        while (client.nextMessage())
            alive |= client.current().describe().rfind("Alive ", 0) == 0;
    }
    if (!alive)
        return 1;
    client.send(command::Respawn(40, 40));
    std::printf("walking\n");
    std::fflush(stdout);
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(std::atof(argv[3]));
    for (auto next = start; next < end; next += std::chrono::milliseconds(33)) {
        std::this_thread::sleep_until(next);
        const bool back = std::chrono::duration_cast<std::chrono::seconds>(next - start).count() % 4 >= 2;
        client.send(command::Move(back ? -6.0f : 6.0f, 0.0f));
        client.service(0);
        while (client.nextMessage()) {
        }
    }
    client.disconnect(300);
    return 0;
}

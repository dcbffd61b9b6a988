// The transport alone: seats every client that connects on UDP 23987 and sends
// each of them a set number of messages of a set size per second, in 60 Hz ticks,
// with no game behind them. Compared with the server under the same traffic, it
// tells how much of the server's cost is not the transport's.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/clock.h"
#include "net/server/net.h"

namespace {

volatile std::sig_atomic_t stopping = 0;
extern "C" void Stop(int) { stopping = 1; }

} // namespace

int main(int argc, char** argv)
{
    using namespace skirmish;
    if (argc != 3) {
        std::fprintf(stderr, "usage: transport-baseline MESSAGES_PER_SECOND_PER_CLIENT MESSAGE_BYTES\n");
        return 2;
    }
    const double perClient = std::atof(argv[1]);
    const int bytes = std::max(std::atoi(argv[2]), 3);
    std::signal(SIGINT, Stop);
    std::signal(SIGTERM, Stop);
    NetSetPort(23987);
    NetSetMaxPerAddress(0);
    if (!NetHost(127)) {
        std::fprintf(stderr, "transport-baseline: %s\n", NetGetError().c_str());
        return 1;
    }
    MessageWriter padding;
    padding.putString(std::string(static_cast<size_t>(bytes - 3), 'x'));
    const double perTick = perClient * 17 / 1000.0;
    double owed = 0;
    int32_t tickReference = ReadClock();
    NetMessage message;
    while (!stopping) {
        while (NetPlayerJoined() != 0) {
        }
        while (NetPlayerLeft() != 0) {
        }
        while (NetGetMessage(message)) {
        }
        if (ElapsedMs(ReadClock(), tickReference) >= 17) {
            tickReference = ReadClock();
            owed += perTick;
            for (; owed >= 1; owed -= 1)
                NetSendAll(padding);
        }
        NetService(std::max(0, 17 - ElapsedMs(ReadClock(), tickReference)));
    }
    NetShutdown();
    return 0;
}

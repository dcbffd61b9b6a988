#include "app/fleet.h"

#include <string>

#include "core/console.h"
#include "core/flags.h"
#include "net/server/net.h"

namespace skirmish {

std::optional<int> ReadFleetPort(const char* text, uint16_t& port, std::ostream& err)
{
    port = 0;
    if (!text || !*text)
        return std::nullopt;
    std::optional<int64_t> value = ParseWhole(text, 1, 65535);
    if (!value) {
        err << "skirmish-server: AGONES_SDK_HTTP_PORT is not a port: " << text << "\n" << std::flush;
        return 2;
    }
    port = static_cast<uint16_t>(*value);
    return std::nullopt;
}

std::unique_ptr<AgonesLink> StartFleetLink(uint16_t port)
{
    if (port == 0)
        return nullptr;
    auto fleet = std::make_unique<AgonesLink>(port);
    fleet->hosting();
    ConsoleLine("Agones SDK on port ", port, ": readiness, health and counts are reported there.");
    return fleet;
}

void BeatFleet(AgonesLink& fleet)
{
    const NetStats net = NetGetStats();
    fleet.beat({.players = net.enetPlayers + net.webPlayers, .spectators = net.enetSpectators + net.webSpectators});
}

int RunHealthCheck(uint16_t port, std::ostream& out)
{
    // Under the health check's own timeout (Docker's is 30 s, Kubernetes' 1 s by default).
    HttpAnswer answer = CallHttp("127.0.0.1", port, {"GET", "/healthz"}, std::chrono::milliseconds(900));
    if (answer.status == 200) {
        out << "healthy\n" << std::flush;
        return 0;
    }
    out << "unhealthy: " << (answer.status ? "status " + std::to_string(answer.status) : std::string("no answer"))
        << " from 127.0.0.1:" << port << "/healthz\n"
        << std::flush;
    return 1;
}

} // namespace skirmish

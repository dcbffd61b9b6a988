#include "app/web_pages.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>

#include <nlohmann/json.hpp>

#include "app/admin.h"
#include "app/demo_shelf.h"
#include "app/event_log.h"
#include "app/main_loop.h"
#include "app/recorder.h"
#include "core/metrics.h"
#include "game/level.h"

namespace skirmish {
namespace {

// The metrics page as it stands now, in the Prometheus text format.
std::string MetricsPage(const Level& level, const LoopState& loop)
{
    const NetStats net = NetGetStats();
    MetricsText page;
    page.family("skirmish_players", "gauge", "Players connected, by transport.");
    page.sample("skirmish_players", net.enetPlayers, "transport=\"enet\"");
    page.sample("skirmish_players", net.webPlayers, "transport=\"websocket\"");
    page.family("skirmish_bots", "gauge", "The server's own bots seated (never counted as players).");
    page.sample("skirmish_bots", net.bots);
    page.family("skirmish_spectators", "gauge", "Spectators watching, by transport.");
    page.sample("skirmish_spectators", net.enetSpectators, "transport=\"enet\"");
    page.sample("skirmish_spectators", net.webSpectators, "transport=\"websocket\"");
    page.family("skirmish_spectator_messages_ignored_total", "counter", "Messages spectators sent, all ignored.");
    page.sample("skirmish_spectator_messages_ignored_total", static_cast<double>(net.spectatorMessagesIgnored));
    page.family("skirmish_datagram_channels", "gauge", "Browsers' data channels open (their states go as datagrams).");
    page.sample("skirmish_datagram_channels", net.datagramChannels);
    page.family("skirmish_datagram_states_sent_total", "counter", "States sent to browsers on data channels.");
    page.sample("skirmish_datagram_states_sent_total", static_cast<double>(net.statesOverDatagrams));
    page.family("skirmish_projectiles", "gauge", "Projectiles in flight.");
    page.sample("skirmish_projectiles", static_cast<double>(level.entities.projectiles.size()));
    page.family("skirmish_ticks_total", "counter", "Movement ticks run.");
    page.sample("skirmish_ticks_total", static_cast<double>(loop.stats.ticks));
    page.histogram("skirmish_tick_lateness_seconds", "How long past its due time each movement tick ran.",
                   loop.stats.tickLateness);
    page.histogram("skirmish_pass_duration_seconds", "Time one pass of the main loop took.", loop.stats.passDuration);
    const std::pair<const char*, uint64_t> totals[] = {
        {"skirmish_messages_received_total", net.messagesIn},
        {"skirmish_received_bytes_total", net.bytesIn},
        {"skirmish_messages_sent_total", net.messagesOut},
        {"skirmish_sent_bytes_total", net.bytesOut},
    };
    for (const auto& [name, value] : totals) {
        page.family(name, "counter", "Client traffic since the server started (messages, or their bytes).");
        page.sample(name, static_cast<double>(value));
    }
    page.family("skirmish_connections_refused_total", "counter", "Connections turned away, by reason.");
    page.sample("skirmish_connections_refused_total", static_cast<double>(net.refusedFull), "reason=\"full\"");
    page.sample("skirmish_connections_refused_total", static_cast<double>(net.refusedAddressCap),
                "reason=\"address_cap\"");
    page.sample("skirmish_connections_refused_total", static_cast<double>(net.refusedSpectatorsFull),
                "reason=\"spectators_full\"");
    page.sample("skirmish_connections_refused_total", static_cast<double>(net.refusedWebBusy), "reason=\"web_busy\"");
    page.sample("skirmish_connections_refused_total", static_cast<double>(net.refusedBanned), "reason=\"banned\"");
    page.family("skirmish_connections_dropped_total", "counter", "Connections the server ended, by reason.");
    page.sample("skirmish_connections_dropped_total", static_cast<double>(net.droppedStalled), "reason=\"stalled\"");
    page.sample("skirmish_connections_dropped_total", static_cast<double>(net.droppedSilent), "reason=\"silent\"");
    page.sample("skirmish_connections_dropped_total", static_cast<double>(net.droppedOversized),
                "reason=\"oversized\"");
    page.family("skirmish_commands_dropped_total", "counter",
                "Commands dropped on arrival: they would have waited over a second behind their sender's budget.");
    page.sample("skirmish_commands_dropped_total", static_cast<double>(net.commandsDropped));
    if (const Admin* admin = loop.admin) {
        page.family("skirmish_kicks_total", "counter", "Clients the operators kicked.");
        page.sample("skirmish_kicks_total", static_cast<double>(admin->counts().kicks));
        page.family("skirmish_bans_total", "counter", "Bans the operators made.");
        page.sample("skirmish_bans_total", static_cast<double>(admin->counts().bans));
    }
    if (const Recorder* recorder = loop.recorder) {
        page.family("skirmish_recording", "gauge", "1 while a match is being recorded.");
        page.sample("skirmish_recording", recorder->currentName().empty() ? 0 : 1);
        page.family("skirmish_recording_written_bytes_total", "counter", "Bytes written to recordings.");
        page.sample("skirmish_recording_written_bytes_total", static_cast<double>(recorder->bytesWritten()));
        page.family("skirmish_recording_failures_total", "counter",
                    "Recordings stopped, or not started, because their file could not be written.");
        page.sample("skirmish_recording_failures_total", static_cast<double>(recorder->failures()));
    }
    if (const EventLog* events = loop.events) {
        page.family("skirmish_event_log_lost_total", "counter", "Events not written: the log's disk was full or slow.");
        page.sample("skirmish_event_log_lost_total", static_cast<double>(events->lost()));
    }
    page.family("skirmish_build_info", "gauge", "The running build; always 1.");
    page.sample("skirmish_build_info", 1, "version=\"" SKIRMISH_VERSION "\"");
    return page.text();
}

std::string HostName()
{
    char name[256] = {};
    return gethostname(name, sizeof name - 1) == 0 && name[0] ? name : "localhost";
}

// What a server list shows of this match: never an address of anyone playing.
std::string StatusPage(const Level& level, const std::string& name, const std::string& page,
                       std::chrono::steady_clock::time_point started)
{
    const NetStats net = NetGetStats();
    const auto uptime = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started);
    const nlohmann::ordered_json status = {
        {"name", name},
        {"version", SKIRMISH_VERSION},
        {"players", net.enetPlayers + net.webPlayers},
        {"seats", std::max<int>(static_cast<int>(level.entities.players.size()) - 1, 0)},
        {"bots", net.bots},
        {"spectators", net.enetSpectators + net.webSpectators},
        {"map", {{"width", level.sizeX}, {"height", level.sizeY}}},
        {"rooms", level.roomCount()},
        {"wire_versions", {static_cast<int>(WireVersion::V1), static_cast<int>(WireVersion::V2)}},
        {"uptime_s", uptime.count()},
        {"page", page},
    };
    return status.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

// Made at most once a second, however often it is asked for.
std::function<std::string()> AtMostOnceASecond(std::function<std::string()> make)
{
    struct Made {
        std::string page;
        std::chrono::steady_clock::time_point at;
    };
    return [make = std::move(make), made = std::make_shared<Made>()] {
        auto now = std::chrono::steady_clock::now();
        if (made->page.empty() || now - made->at >= std::chrono::seconds(1))
            *made = {make(), now};
        return made->page;
    };
}

} // namespace

WebPages ServerWebPages(const Level& level, const LoopState& loop, const ServerOptions& options)
{
    WebPages pages;
    for (const WebAsset& asset : WebAssets()) {
        std::string text(asset.bytes.begin(), asset.bytes.end());
        pages.emplace(std::string(asset.path), WebPage{std::string(asset.contentType), [text] { return text; }});
    }
    // Answered from the loop itself, so a 200 means the server is hosting.
    // For the watch page's count, without a metrics parser in the browser.
    pages.emplace("/spectators", WebPage{"text/plain; charset=utf-8", [] {
                      const NetStats net = NetGetStats();
                      return std::to_string(net.enetSpectators + net.webSpectators) + "\n";
                  }});
    pages.emplace("/healthz", WebPage{"text/plain; charset=utf-8", [] { return std::string("ok\n"); }});
    pages.emplace("/metrics", WebPage{"text/plain; version=0.0.4; charset=utf-8",
                                      [&level, &loop] { return MetricsPage(level, loop); }});
    const std::string host = HostName();
    const std::string name = options.serverName.empty() ? host : options.serverName;
    const std::string page = options.pageAddress.empty()
                                 ? "http://" + host + ":" + std::to_string(options.port) + "/"
                                 : options.pageAddress;
    WebPage status{"application/json",
                   AtMostOnceASecond([&level, name, page, started = std::chrono::steady_clock::now()] {
                       return StatusPage(level, name, page, started);
                   })};
    status.maxAgeSeconds = 1;
    pages.emplace("/status.json", std::move(status));
    if (const Recorder* recorder = loop.recorder) {
        auto shelf = std::make_shared<DemoShelf>(recorder->options().dir);
        // Both read the folder, on the web front's disk thread: the shelf is that thread's alone.
        pages.emplace("/demos", WebPage{"text/html; charset=utf-8",
                                        AtMostOnceASecond([shelf, name = recorder->nameSource()] {
                                            return DemoListPage(shelf->list(), name->get());
                                        }),
                                        nullptr, true});
        pages.emplace("/demos/", WebPage{"application/octet-stream", nullptr,
                                         [dir = recorder->options().dir](std::string_view name) {
                                             return OpenRecording(dir, name);
                                         },
                                         true});
    }
    return pages;
}

} // namespace skirmish

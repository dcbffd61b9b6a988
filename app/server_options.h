#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <optional>
#include <string>

#include "app/questions.h"
#include "app/recorder.h"
#include "net/server/net.h"

namespace skirmish {

constexpr uint16_t kDefaultPort = 23987;
// With at most 127 players, every connection still fits ENet's 4,095 peers.
constexpr int kMaxSpectatorsCap = 3968;
// A chat line's room: the pages show the message of the day as one.
constexpr size_t kMaxMotdBytes = 200;

// What the command line sets. With no flags: today's start-up, every question asked.
struct ServerOptions {
    PresetAnswers answers;
    uint16_t port = kDefaultPort;
    int maxPerAddress = kDefaultMaxPerAddress;
    int maxSpectators = kDefaultMaxSpectators;
    int maxSpectatorsPerAddress = kDefaultMaxSpectatorsPerAddress;
    bool web = true; // the game page, WebSocket players, metrics and health on TCP
    RecordingOptions recording = {};
    std::string adminSocket = {};     // "": no operators' socket
    std::string banFile = "bans.txt"; // the bans, kept across restarts
    int bots = 0;                     // people and bots together make this many while seats allow
    bool healthcheck = false;         // ask the server on port for /healthz and exit
    uint16_t agonesPort = 0;          // the Agones sidecar's REST port (0: none)
    std::string botSkill = "normal";  // how well they play: easy, normal or hard
    std::string motd = {};            // said by the server to each player after the greeting ("": nothing)
    std::string eventLog = {};        // "": none; "-": standard output
    std::string auditLog = {};        // "": operators' commands are audited on the console
    std::string serverName = {};      // "": the host's name
    std::string pageAddress = {};     // "": http://HOST:PORT/
    std::string adminHttpAddress = {}; // "": no operators' HTTP endpoint
    uint16_t adminHttpPort = 0;
    std::string adminTokens = {};     // the HTTP endpoint's tokens, a line each: TOKEN ROLE NAME
    std::optional<int64_t> seed;
    std::string datagramAddress = {}; // "": each browser's datagrams go to the address it reached the page at      // the calendar second the level is laid out from (none: now)
};

// Reads the flags. Returns the exit status when the process should end now
// (0 after --help or --version, 2 for a bad flag, having said why on err), else nothing.
std::optional<int> ParseServerOptions(int argc, char** argv, ServerOptions& options, std::ostream& out,
                                      std::ostream& err);

} // namespace skirmish

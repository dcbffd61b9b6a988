// The server's flags, its usage and its help.
#include "app/server_options.h"

#include <arpa/inet.h>

#include <string>
#include <vector>

#include "app/bots.h"
#include "core/flags.h"
#include "net/server/admin_http.h"

namespace skirmish {
namespace {

// Two lines, "Usage:" and "  or:", as help2man reads them into the man page's synopsis;
// the flags are listed under --help.
const char* const kUsage = "Usage: skirmish-server [OPTION]...\n"
                           "  or:  skirmish-server --healthcheck [PORT]\n";

const char* const kHelp = R"(
Hosts a Skirmish match on UDP PORT (default 23987). The five answers may be given
as flags. The questions no flag answered are asked on the console, in order, and
standard input answers only those: with --players 9, the first answer read is the
map width. An answer left over on standard input is reported and not used. A flag
given twice takes its last value.

  --players N   max number of players, 1 to 127 (ids 1 to N - 1 are seated)
  --width N     map width in tiles, 1 or more
  --height N    map height in tiles, 1 or more
  --rooms N     number of rooms, 1 or more
  --weapons N   number of weapons, 1 or more
  --port N      UDP game port and TCP web port, 1 to 65535 (default 23987)
  --no-web      no web front: no game page, WebSocket, metrics or health on TCP
  --max-per-address N
                at most N players from one address, 0 to 4095 (default 16; 0: no cap)
  --max-spectators N
                at most N spectators besides the players, 0 to 3968 (default 256);
                they watch at /watch or over ENet, and take no seat
  --max-spectators-per-address N
                at most N spectators from one address, 0 to 3968 (default 16; 0: no cap)
  --demo-dir DIR
                where matches are recorded (default demos, created when needed);
                a recording starts when the first player joins and ends after
                60 s with nobody connected; played back at /demos
  --no-demos    records nothing
  --demo-keep N keep at most N recordings, 1 to 100000 (default 50); the oldest
                goes first, never the one being written
  --demo-max-mb N
                keep at most N MiB of recordings, 1 to 1048576 (default 1024)
  --admin-socket PATH
                takes operators' commands (help lists them) on a Unix socket
                at PATH, mode 0600, removed at exit; skirmish-admin PATH COMMAND
                sends one. Standard input takes them too, once answered
  --ban-file PATH
                where bans are kept across restarts (default bans.txt); a
                symbolic link is written through to its target (matches may
                share one), a hard-linked file is refused. SIGHUP reads it again
  --bots N      the server's own players fill empty seats: people and bots
                together make N while seats allow, a bot making way for each
                person who comes; 0 to 126 (default 0: no bots)
  --healthcheck [PORT]
                asks the server on this host at PORT (or --port's) for /healthz
                and exits: 0 when it answers, 1 when not (for container health
                checks, without curl)
  --bot-skill easy|normal|hard
                how well the bots play: their reaction time, aim and how often
                they fire and move (default normal; hard gives a newcomer no
                quarter)
  --seed N      lay the level out as if started at calendar second N (0 to
                4294967295; default: now): the same answers and seed give the
                same rooms and weapons
  --datagram-address IPV4
                the address browsers send their datagrams to, on this UDP
                port (default: the address each reached the page at); for a
                host behind a NAT, its public address
  --motd TEXT   a message of the day, up to 200 bytes: each player reads it
                from the server on joining, after the greeting (default: none)
  --event-log PATH|-
                appends one JSON object a line for each join, leave, name,
                death, chat line, respawn, kick, ban, unban, say and
                recording start and stop to PATH (-: standard output); a
                slow or full disk loses events, counted, never the match
  --audit-log PATH
                appends every operators' command (console, socket, HTTP) with
                who gave it, as JSON lines (default: a console line each)
  --server-name NAME
                the name /status.json gives server lists (default: host name)
  --page-address URL
                the game page's address in /status.json (default
                http://HOST:PORT/)
  --admin-http ADDR:PORT
                takes operators' commands as POST /admin over HTTP on
                ADDR:PORT (off by default; keep it on loopback behind a TLS
                proxy), each with "Authorization: Bearer TOKEN"
  --admin-tokens FILE
                the HTTP endpoint's tokens, a line each: TOKEN ROLE NAME;
                ROLE admin may give any command, moderator status, say,
                kick, ban, unban and bans
  --help        this text
  --version     the version

Example: a match of up to 12 on a 40 x 30 map, topped up with bots
  skirmish-server --players 13 --width 40 --height 30 --rooms 6 --weapons 4 \
                  --bots 4 --motd "Welcome! R brings you back at once."
then open http://HOST:23987/ in a browser to play (HOST: this machine's name
or address; the port is --port's), /watch to watch and /demos for recordings.

Exit status: 0 after hosting ends (Ctrl-C, SIGTERM or the stop command end it
cleanly); 1 when the port cannot be hosted on, the ban file has a malformed line,
input ends at a question, the level does not fit in memory, the admin socket or
HTTP endpoint cannot be opened, a log cannot be opened or the tokens file cannot be
read or has a bad line; 2 for a bad flag.

Under systemd (NOTIFY_SOCKET set) the server says READY=1 once hosting and, with
WatchdogSec, keeps the watchdog fed from its main loop.

With AGONES_SDK_HTTP_PORT set, the server tells the Agones sidecar on that port
that the match is ready once hosting, sends health every 2 s while its loop
runs, labels the match with its players and spectators, and shuts down through it
after the clients have heard "ServerQuit", waiting for it at most 2 s.
)";

} // namespace

std::optional<int> ParseServerOptions(int argc, char** argv, ServerOptions& options, std::ostream& out,
                                      std::ostream& err)
{
    bool help = false;
    bool version = false;
    // An answer the question would refuse gets the question's own error line.
    const char* refusal = nullptr;
    std::vector<Flag> flags = {
        {"--help", false, [&](std::string_view) { return help = true; }},
        {"--version", false, [&](std::string_view) { return version = true; }},
        {"--healthcheck", false, [&](std::string_view) { return options.healthcheck = true; }},
        {"--no-web", false, [&](std::string_view) { return !(options.web = false); }},
        {"--port", true,
         [&](std::string_view v) {
             auto port = ParseWhole(v, 1, 65535);
             options.port = static_cast<uint16_t>(port.value_or(0));
             return port.has_value();
         }},
        {"--max-per-address", true,
         [&](std::string_view v) {
             auto count = ParseWhole(v, 0, 4095);
             options.maxPerAddress = static_cast<int>(count.value_or(0));
             return count.has_value();
         }},
        {"--no-demos", false, [&](std::string_view) { return !(options.recording.enabled = false); }},
        {"--demo-dir", true,
         [&](std::string_view v) {
             options.recording.dir = v;
             return !v.empty();
         }},
        {"--demo-keep", true,
         [&](std::string_view v) {
             auto count = ParseWhole(v, 1, 100000);
             options.recording.keep = static_cast<int>(count.value_or(0));
             return count.has_value();
         }},
        {"--demo-max-mb", true,
         [&](std::string_view v) {
             auto megabytes = ParseWhole(v, 1, 1024 * 1024);
             options.recording.maxBytes = static_cast<uint64_t>(megabytes.value_or(0)) * 1024 * 1024;
             return megabytes.has_value();
         }},
        {"--admin-socket", true,
         [&](std::string_view v) {
             options.adminSocket = v;
             return !v.empty();
         }},
        {"--ban-file", true,
         [&](std::string_view v) {
             options.banFile = v;
             return !v.empty();
         }},
        {"--bots", true,
         [&](std::string_view v) {
             auto count = ParseWhole(v, 0, 126);
             options.bots = static_cast<int>(count.value_or(0));
             return count.has_value();
         }},
        {"--seed", true,
         [&](std::string_view v) {
             auto seed = ParseWhole(v, 0, 4294967295LL);
             options.seed = seed;
             return seed.has_value();
         }},
        {"--datagram-address", true,
         [&](std::string_view v) {
             options.datagramAddress = v;
             in_addr parsed{};
             return inet_pton(AF_INET, options.datagramAddress.c_str(), &parsed) == 1;
         }},
        {"--motd", true,
         [&](std::string_view v) {
             options.motd = v;
             return v.size() <= kMaxMotdBytes;
         }},
        {"--bot-skill", true,
         [&](std::string_view v) {
             options.botSkill = v;
             return FindBotSkill(v) != nullptr;
         }},
        {"--max-spectators", true,
         [&](std::string_view v) {
             auto count = ParseWhole(v, 0, kMaxSpectatorsCap);
             options.maxSpectators = static_cast<int>(count.value_or(0));
             return count.has_value();
         }},
        {"--max-spectators-per-address", true,
         [&](std::string_view v) {
             auto count = ParseWhole(v, 0, kMaxSpectatorsCap);
             options.maxSpectatorsPerAddress = static_cast<int>(count.value_or(0));
             return count.has_value();
         }},
        {"--event-log", true, [&](std::string_view v) { return !(options.eventLog = v).empty(); }},
        {"--audit-log", true, [&](std::string_view v) { return !(options.auditLog = v).empty(); }},
        {"--server-name", true, [&](std::string_view v) { return !(options.serverName = v).empty(); }},
        {"--page-address", true, [&](std::string_view v) { return !(options.pageAddress = v).empty(); }},
        {"--admin-http", true,
         [&](std::string_view v) {
             return SplitHostPort(std::string(v), options.adminHttpAddress, options.adminHttpPort);
         }},
        {"--admin-tokens", true, [&](std::string_view v) { return !(options.adminTokens = v).empty(); }},
    };
    for (const Question& question : StartupQuestions()) {
        flags.push_back({question.flag, true, [&](std::string_view v) {
                             auto number = ParseWhole(v, std::numeric_limits<int32_t>::min(),
                                                      std::numeric_limits<int32_t>::max());
                             if (!number)
                                 return false;
                             if (*number < question.minimum || *number > question.maximum) {
                                 refusal = question.error;
                                 return true;
                             }
                             options.answers.*question.preset = static_cast<int32_t>(*number);
                             return true;
                         }});
    }
    // The only word that is no flag: --healthcheck's port.
    std::optional<int64_t> checkedPort;
    std::string error = ParseFlags(argc, argv, flags, [&](std::string_view word) {
        return !checkedPort && (checkedPort = ParseWhole(word, 1, 65535)).has_value();
    });
    if (error.empty() && options.adminHttpAddress.empty() != options.adminTokens.empty())
        error = "--admin-http and --admin-tokens go together";
    if (error.empty() && checkedPort && !options.healthcheck)
        error = "unexpected argument " + std::to_string(*checkedPort);
    if (checkedPort)
        options.port = static_cast<uint16_t>(*checkedPort);
    if (!error.empty()) {
        err << "skirmish-server: " << error << "\n" << kUsage << std::flush;
        return 2;
    }
    if (refusal) {
        err << refusal << "\n" << std::flush;
        return 2;
    }
    if (help || version) {
        out << (help ? std::string(kUsage) + kHelp : std::string("skirmish-server ") + SKIRMISH_VERSION + "\n")
            << std::flush;
        return 0;
    }
    return std::nullopt;
}

} // namespace skirmish

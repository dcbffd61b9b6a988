#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <istream>
#include <optional>
#include <string>
#include <ostream>

#include "app/recorder.h"
#include "net/server/net.h"

namespace skirmish {

// The operator's five answers.
struct StartupAnswers {
    int32_t maxPlayers = 0;
    int32_t sizeX = 0;
    int32_t sizeY = 0;
    int32_t roomCount = 0;
    int32_t weaponCount = 0;
    // An answer was read from the input and the end of its line is still unread there.
    bool lineEndPending = false;
};

// Answers given as flags; the questions left without one are asked.
struct PresetAnswers {
    std::optional<int32_t> maxPlayers, sizeX, sizeY, roomCount, weaponCount;
};

// Asks the questions that have no preset answer on the console, in order, each until
// its answer is accepted: the input answers those questions alone. Input that is not
// a number is discarded up to the line end and the question asked again; nullopt when
// input ends first. Once an answer has been read, whatever the input already holds
// after the last one (taken without waiting for more) is reported as unused.
std::optional<StartupAnswers> AskStartupQuestions(std::istream& in, const PresetAnswers& preset = {});

constexpr uint16_t kDefaultPort = 23987;
// With at most 127 players, every connection still fits ENet's 4,095 peers.
constexpr int kMaxSpectatorsCap = 3968;

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
};

// Reads the flags. Returns the exit status when the process should end now
// (0 after --help or --version, 2 for a bad flag, having said why on err), else nothing.
std::optional<int> ParseServerOptions(int argc, char** argv, ServerOptions& options, std::ostream& out,
                                      std::ostream& err);

// "ServerQuit" to every client, then the host closed so that it reaches them. Again
// after that, nothing happens: the process's exit does it too, for any other end.
void SayServerQuit();

// What start-up reads from outside, replaceable in tests.
struct ServerEnvironment {
    std::istream& in;
    ServerOptions options = {};
    // Once the questions are answered, operators' commands come from in and then
    // from this descriptor (-1: from in alone).
    int commandFd = -1;
    std::function<int64_t()> calendarTime = [] { return static_cast<int64_t>(std::time(nullptr)); };
    // Milliseconds since 1970 UTC, for the names and headers of recordings.
    std::function<int64_t()> wallMs = [] {
        return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::system_clock::now().time_since_epoch())
                                        .count());
    };
    // Waits for one key after a failed host; lineEndPending as the answers left it.
    std::function<void(std::istream&, bool lineEndPending)> pause;
    // Once hosting ends: tells the clients and closes the host (see SayServerQuit()).
    std::function<void()> farewell = [] { SayServerQuit(); };
};

// Start-up, the main loop and teardown. When hosting ends, the clients hear of it
// (farewell) before the fleet manager's sidecar is waited for, at most a few seconds.
// Returns 0 when hosting ran to its end; 1 when the host could not be opened or
// start-up cannot finish (a malformed ban list, input ended at a prompt, the level
// does not fit in memory, or the operators' socket cannot be opened).
int RunServer(ServerEnvironment& environment);

// "Press any key to continue . . . ", then one key press on a terminal, else one byte:
// the byte after the pending line end, when one is pending (the Enter after the last
// typed answer is no key press).
void PauseForKey(std::istream& in, bool lineEndPending);

} // namespace skirmish

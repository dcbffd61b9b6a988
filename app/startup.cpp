#include "app/startup.h"

#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <iostream>
#include <limits>
#include <memory>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/admin.h"
#include "app/ban_list.h"
#include "app/bots.h"
#include "app/fleet.h"
#include "app/main_loop.h"
#include "app/signals.h"
#include "app/web_pages.h"
#include "core/clock.h"
#include "core/console.h"
#include "core/flags.h"
#include "game/commands.h"
#include "game/insta_weapon.h"
#include "game/rooms.h"
#include "game/timers.h"
#include "net/server/net.h"
#include "protocol/messages.h"

namespace skirmish {
namespace {

struct Question {
    const char* prompt;
    const char* error;
    int32_t minimum;
    int32_t maximum;
    int32_t StartupAnswers::*answer;
    std::optional<int32_t> PresetAnswers::*preset;
    const char* flag;
};

// The players' error line names 0 and 256 although 1 to 127 are accepted: operators
// and scripts know the line as it is, so it is kept word for word.
const Question kQuestions[] = {
    {"Input max number of players: ", "Players must be between 0 and 256.", 1, 127, &StartupAnswers::maxPlayers,
     &PresetAnswers::maxPlayers, "--players"},
    {"Input map x dimensions: ", "x must be greater than 0.", 1, std::numeric_limits<int32_t>::max(),
     &StartupAnswers::sizeX, &PresetAnswers::sizeX, "--width"},
    {"Input map y dimensions: ", "y must be greater than 0.", 1, std::numeric_limits<int32_t>::max(),
     &StartupAnswers::sizeY, &PresetAnswers::sizeY, "--height"},
    {"Input number of rooms: ", "rooms must be greater than 0.", 1, std::numeric_limits<int32_t>::max(),
     &StartupAnswers::roomCount, &PresetAnswers::roomCount, "--rooms"},
    {"Input number of weapons: ", "Weapons must be greater than 0.", 1, std::numeric_limits<int32_t>::max(),
     &StartupAnswers::weaponCount, &PresetAnswers::weaponCount, "--weapons"},
};

const char* const kUsage =
    "Usage: skirmish-server [--players N] [--width N] [--height N] [--rooms N] [--weapons N] [--port N]\n"
    "                       [--max-per-address N] [--max-spectators N] [--max-spectators-per-address N]\n"
    "                       [--demo-dir DIR] [--no-demos] [--demo-keep N] [--demo-max-mb N]\n"
    "                       [--admin-socket PATH] [--ban-file PATH] [--bots N]\n"
    "                       [--bot-skill easy|normal|hard]\n"
    "       skirmish-server --healthcheck [PORT]\n";

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
  --help        this text
  --version     the version

Exit status: 0 after hosting ends (Ctrl-C, SIGTERM or the stop command end it
cleanly); 1 when the port cannot be hosted on, the ban file has a malformed line,
input ends at a question, the level does not fit in memory or the admin socket
cannot be opened; 2 for a bad flag.

With AGONES_SDK_HTTP_PORT set, the server tells the Agones sidecar on that port
that the match is ready once hosting, sends health every 2 s while its loop
runs, labels the match with its players and spectators, and shuts down through it
after the clients have heard "ServerQuit", waiting for it at most 2 s.
)";

void ConsoleWrite(const char* text) { ConsoleStream() << text << std::flush; }

// One answer; nullopt at the end of input. Text that is no 32-bit number is dropped up to the line end.
std::optional<int32_t> ReadAnswer(std::istream& in, const Question& question)
{
    for (;;) {
        ConsoleWrite(question.prompt);
        int32_t value = 0;
        if (in >> value) {
            if (value >= question.minimum && value <= question.maximum)
                return value;
            ConsoleLine(question.error);
            continue;
        }
        if (in.eof() || in.bad())
            return std::nullopt;
        in.clear();
        in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
        if (in.eof())
            return std::nullopt;
    }
}

// Reads what the input already holds past the last answer, without waiting for
// more: the rest of that answer's line, and the lines after it that begin with a
// number, are answers no question took, named on one console line (with some
// questions answered by flags, an answer meant for one of those would otherwise go
// unnoticed). A line that begins with a word is an operator's command: it and what
// follows are left for the console. Returns whether a line end was among what was read.
bool ReportUnusedInput(std::istream& in)
{
    // Enough for any mistyped answers; a large file on standard input is not read through.
    constexpr size_t kMostRead = 1024;
    std::streambuf& buffer = *in.rdbuf();
    auto available = [&] { return buffer.in_avail() > 0; };
    std::string rest;
    bool lineStart = false;
    while (rest.size() < kMostRead && available()) {
        char next = static_cast<char>(buffer.sgetc());
        bool blank = next == ' ' || next == '\t' || next == '\r';
        bool number = std::isdigit(static_cast<unsigned char>(next)) || next == '-' || next == '+';
        if (lineStart && !blank && !number && next != '\n')
            break;
        rest += static_cast<char>(buffer.sbumpc());
        lineStart = next == '\n' || (lineStart && blank);
    }
    std::istringstream left(rest);
    std::string word, words;
    int count = 0;
    while (left >> word)
        words += (count++ > 0 ? " " : "") + word;
    if (count > 0)
        ConsoleLine(count > 1 ? "Unused answers on standard input: " : "Unused answer on standard input: ",
                    EscapeForConsole(words));
    return rest.find('\n') != std::string::npos;
}

// Memory a level of these answers needs, roughly, so that an impossible one is
// refused with a message instead of being killed half-built by the system.
bool LevelFitsInMemory(const StartupAnswers& answers)
{
    long pages = sysconf(_SC_PHYS_PAGES);
    long pageSize = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || pageSize <= 0)
        return true;
    double available = static_cast<double>(pages) * static_cast<double>(pageSize);
    double needed = (static_cast<double>(answers.roomCount) + 1) * 4 * sizeof(int32_t) +
                    static_cast<double>(answers.weaponCount) * (sizeof(InstaWeapon) + 2 * sizeof(void*) + 16) +
                    static_cast<double>(answers.maxPlayers) * sizeof(Player);
    return needed < available / 2;
}

std::unique_ptr<Level> BuildLevel(const StartupAnswers& answers)
{
    if (!LevelFitsInMemory(answers))
        return nullptr;
    try {
        return std::make_unique<Level>(answers.roomCount, answers.sizeX, answers.sizeY, answers.weaponCount,
                                       answers.maxPlayers);
    } catch (const std::bad_alloc&) {
        return nullptr;
    } catch (const std::length_error&) {
        return nullptr;
    }
}

} // namespace

void SayServerQuit()
{
    NetSendAll(message::ServerQuit());
    NetShutdown();
}

std::optional<StartupAnswers> AskStartupQuestions(std::istream& in, const PresetAnswers& preset)
{
    StartupAnswers answers;
    bool readAny = false;
    for (const Question& question : kQuestions) {
        std::optional<int32_t> value = preset.*question.preset;
        if (!value) {
            value = ReadAnswer(in, question);
            readAny = true;
        }
        if (!value)
            return std::nullopt;
        answers.*question.answer = *value;
    }
    answers.lineEndPending = readAny && !ReportUnusedInput(in);
    return answers;
}

namespace {

// The limits of the network layer that the operator's flags set.
void ConfigureNetwork(const ServerOptions& options)
{
    NetSetPort(options.port);
    NetSetMaxPerAddress(options.maxPerAddress);
    NetSetMaxSpectators(options.maxSpectators);
    NetSetMaxSpectatorsPerAddress(options.maxSpectatorsPerAddress);
}

std::optional<StartupAnswers> AskQuestions(ServerEnvironment& environment)
{
    std::optional<StartupAnswers> answers = AskStartupQuestions(environment.in, environment.options.answers);
    if (!answers) {
        ConsoleLine("");
        ConsoleLine("Input ended before the server was set up; nothing was started.");
    }
    return answers;
}

// The level of the answers, its rooms laid out from the calendar second and its
// weapon catalogue built; null, said on the console, when memory runs short.
std::unique_ptr<Level> MakeLevel(const StartupAnswers& answers, int64_t calendarTime)
{
    std::unique_ptr<Level> level = BuildLevel(answers);
    if (!level) {
        ConsoleLine("Not enough memory for a level of ", answers.roomCount, " rooms and ", answers.weaponCount,
                    " weapons; nothing was started.");
        return nullptr;
    }
    ConsoleLine("Generating Level...");
    level->seed = static_cast<int32_t>(static_cast<uint32_t>(calendarTime));
    try {
        GenerateRooms(*level, ReadClock());
    } catch (const std::bad_alloc&) {
        ConsoleLine("Out of memory while generating the weapon catalogue; nothing was started.");
        return nullptr;
    }
    return level;
}

// Opens the host with the pages of this level and loop; false, said on the console
// (after the operator's key press), when it cannot.
bool Host(ServerEnvironment& environment, const StartupAnswers& answers, const Level& level, LoopState& loop)
{
    NetSetWebPages(environment.options.web ? ServerWebPages(level, loop) : WebPages{});
    // Rooms have no bound, nor has the snapshot a player is sent at its name: it must
    // never count as a backlog that stalled. Seated players, whose records it adds,
    // are a few kilobytes at most.
    NetSetBacklogAllowance(SnapshotBytes(level));
    if (!NetHost(answers.maxPlayers)) {
        NetSetBanCheck(nullptr);
        ConsoleLine("Error: ", NetGetError());
        ConsoleWrite("Server not started.");
        if (environment.pause)
            environment.pause(environment.in, answers.lineEndPending);
        return false;
    }
    ConsoleLine("Server Started. Awaiting players...");
    return true;
}

// The clients are told first; only then may the teardown wait (boundedly) for the
// sidecar or a stuck disk.
void Stop(ServerEnvironment& environment, std::unique_ptr<AgonesLink> fleet)
{
    // The sidecar's shutdown goes out on its own thread while the clients are told.
    if (fleet)
        fleet->stopping();
    if (environment.farewell)
        environment.farewell();
    fleet.reset();
    // The pages and the ban check point at the level, the loop and the bans, which
    // end with the run; the open web front serves none of them once it is closing.
    NetSetWebPages({});
    NetSetBanCheck(nullptr);
    NetWakeOn({});
}

} // namespace

int RunServer(ServerEnvironment& environment)
{
    const ServerOptions& options = environment.options;
    // Time at the prompts and in level generation counts toward the first movement tick.
    LoopState loop{ReadClock()};
    ConfigureNetwork(options);
    std::unique_ptr<BanList> bans = OpenBans(options.banFile); // a broken ban file stops the start before any question
    if (!bans)
        return 1;
    std::optional<StartupAnswers> answers = AskQuestions(environment);
    if (!answers)
        return 1;
    std::unique_ptr<Level> level = MakeLevel(*answers, environment.calendarTime());
    if (!level)
        return 1;
    std::unique_ptr<Recorder> recorder = StartRecordings(options.recording, options.port, *level, environment.wallMs);
    loop.recorder = recorder.get();
    std::unique_ptr<Admin> admin = StartModeration(*bans, environment.calendarTime, options.banFile, options.adminSocket);
    if (!admin)
        return 1;
    loop.admin = admin.get();
    std::unique_ptr<Bots> bots = StartBots(options.bots, options.botSkill, *level, *admin, recorder.get());
    loop.bots = bots.get();
    // Non-zero, so that a supervisor's restart on failure tries again.
    if (!Host(environment, *answers, *level, loop))
        return 1;
    StartSignals(*admin);
    admin->link().readStandardInput(environment.in, environment.commandFd);
    std::unique_ptr<AgonesLink> fleet = StartFleetLink(options.agonesPort);
    loop.fleet = fleet.get();
    RunMainLoop(*level, loop);
    Stop(environment, std::move(fleet));
    return 0;
}

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
    };
    for (const Question& question : kQuestions) {
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

void PauseForKey(std::istream& in, bool lineEndPending)
{
    ConsoleWrite("Press any key to continue . . . ");
    if (&in == &std::cin && isatty(STDIN_FILENO)) {
        termios saved{};
        if (tcgetattr(STDIN_FILENO, &saved) == 0) {
            termios raw = saved;
            raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
            raw.c_cc[VMIN] = 1;
            raw.c_cc[VTIME] = 0;
            tcsetattr(STDIN_FILENO, TCSANOW, &raw);
            char key;
            [[maybe_unused]] ssize_t got = read(STDIN_FILENO, &key, 1);
            tcsetattr(STDIN_FILENO, TCSANOW, &saved);
            ConsoleLine("");
            return;
        }
    }
    if (lineEndPending)
        in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    in.get();
    ConsoleLine("");
}

} // namespace skirmish

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
#include "app/operations.h"
#include "app/service_notify.h"
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
    NetSetWebPages(environment.options.web ? ServerWebPages(level, loop, environment.options) : WebPages{});
    NetSetDatagramAddress(environment.options.datagramAddress);
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
    if (loop.service)
        loop.service->ready();
    return true;
}

// The clients are told first; only then may the teardown wait (boundedly) for the
// sidecar or a stuck disk.
void Stop(ServerEnvironment& environment, std::unique_ptr<AgonesLink> fleet, ServiceNotifier* service)
{
    if (service)
        service->stopping();
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

// The seams a caller left empty are the system's. (Defaults in the struct itself were
// dropped by GCC 12 at -O3 from main's designated initialiser: the first call threw.)
void FillSystemSeams(ServerEnvironment& environment)
{
    if (!environment.calendarTime)
        environment.calendarTime = [] { return static_cast<int64_t>(std::time(nullptr)); };
    if (!environment.wallMs)
        environment.wallMs = [] {
            return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            std::chrono::system_clock::now().time_since_epoch())
                                            .count());
        };
    if (!environment.farewell)
        environment.farewell = SayServerQuit;
}

} // namespace

int RunServer(ServerEnvironment& environment)
{
    FillSystemSeams(environment);
    const ServerOptions& options = environment.options;
    // Time at the prompts and in level generation counts toward the first movement tick.
    LoopState loop{ReadClock()};
    loop.motd = options.motd;
    ConfigureNetwork(options);
    std::unique_ptr<BanList> bans = OpenBans(options.banFile); // a broken ban file stops the start before any question
    if (!bans)
        return 1;
    std::optional<Operations> operations = OpenOperations(options, environment.wallMs); // so do the logs and tokens
    if (!operations)
        return 1;
    loop.events = operations->events.get();
    std::unique_ptr<ServiceNotifier> service = ServiceNotifier::FromEnvironment();
    loop.service = service.get();
    std::optional<StartupAnswers> answers = AskQuestions(environment);
    if (!answers)
        return 1;
    std::unique_ptr<Level> level = MakeLevel(*answers, options.seed.value_or(environment.calendarTime()));
    if (!level)
        return 1;
    std::unique_ptr<Recorder> recorder = StartRecordings(options.recording, options.port, *level, environment.wallMs);
    loop.recorder = recorder.get();
    std::unique_ptr<Admin> admin = StartModeration(*bans, environment.calendarTime, options.banFile, options.adminSocket);
    if (!admin || !ConnectOperations(*admin, *operations, options))
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
    if (loop.events)
        loop.events->ended(*level);
    Stop(environment, std::move(fleet), service.get());
    return 0;
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

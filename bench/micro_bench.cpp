// Micro-benchmarks of the server's hot paths on the in-memory transport.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <filesystem>
#include <memory>
#include <sstream>

#include "app/admin.h"
#include "app/main_loop.h"
#include "app/recorder.h"
#include "core/clock.h"
#include "core/console.h"
#include "game/commands.h"
#include "game/flight.h"
#include "game/level.h"
#include "net/memory/memory_transport.h"
#include "net/server/net.h"
#include "protocol/codec.h"
#include "protocol/messages.h"

namespace skirmish {
namespace {

// 127 slots, 126 connected living players spread over a 64 × 64 map, and projectiles
// flying beside them where they never hit, so every pass tests the same number.
struct BusyWorld {
    FakeClock clock{1000};
    ScopedClock useClock{clock};
    MemoryTransport* net = nullptr;
    std::unique_ptr<Level> level;
    NetOutbox out;

    explicit BusyWorld(int projectiles)
    {
        auto transport = std::make_unique<MemoryTransport>();
        transport->setRecording(false);
        net = transport.get();
        NetUseTransport(std::move(transport));
        NetSetMaxPerAddress(0);
        NetHost(127);
        level = std::make_unique<Level>(8, 64, 64, 1, 127);
        for (int id = 1; id < 127; ++id) {
            net->connect();
            NetPlayerJoined();
            Player& p = level->entities.players[static_cast<size_t>(id)];
            p.id = id;
            p.connected = true;
            p.dead = false;
            p.health = 100;
            p.x = static_cast<float>((id * 397) % 2048);
            p.y = static_cast<float>((id * 769) % 2048);
        }
        for (int i = 0; i < projectiles; ++i) {
            Projectile projectile;
            projectile.id = i;
            projectile.x = static_cast<float>((i * 131) % 2048) + 0.5f;
            projectile.y = static_cast<float>((i * 71) % 2048) + 4096.5f;
            projectile.angle = static_cast<float>(i % 360);
            projectile.lifetime = 1e6f;
            projectile.owner = 1 + i % 126;
            projectile.creationTime = clock.now();
            level->entities.projectiles.push_back(projectile);
        }
    }
    ~BusyWorld()
    {
        NetUseTransport(nullptr);
        NetSetMaxPerAddress(kDefaultMaxPerAddress);
    }
};

void BM_CheckProjectiles(benchmark::State& state)
{
    BusyWorld world(static_cast<int>(state.range(0)));
    const bool moved = state.range(1) != 0;
    for (auto _ : state) {
        if (moved)
            MoveProjectiles(*world.level, world.out); // a tick pass: every projectile changed
        CheckProjectiles(*world.level, world.clock.now(), world.out);
        NetService(0);
    }
    state.counters["projectiles"] = static_cast<double>(world.level->entities.projectiles.size());
}
BENCHMARK(BM_CheckProjectiles)->Args({1000, 0})->Args({1000, 1})->ArgNames({"projectiles", "tick"});

void BM_MoveProjectiles(benchmark::State& state)
{
    BusyWorld world(1000);
    for (auto _ : state) {
        MoveProjectiles(*world.level, world.out);
        NetService(0);
    }
    state.SetItemsProcessed(state.iterations() * 1000 * 126);
}
BENCHMARK(BM_MoveProjectiles);

void BM_LevelSnapshot(benchmark::State& state)
{
    BusyWorld world(1000);
    for (auto _ : state) {
        SendLevelSnapshot(*world.level, 1, world.out);
        NetService(0);
    }
}
BENCHMARK(BM_LevelSnapshot);

void BM_CodecWriteAndRead(benchmark::State& state)
{
    for (auto _ : state) {
        MessageWriter writer = message::ProjMove(42, 1.5f, -2.5f);
        MessageReader reader(writer.bytes());
        benchmark::DoNotOptimize(reader.getString(31));
        benchmark::DoNotOptimize(reader.getInt());
        benchmark::DoNotOptimize(reader.getFloat());
        benchmark::DoNotOptimize(reader.getFloat());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CodecWriteAndRead);

// The recorder's cost per message of a busy stream: projectiles moving a step a tick,
// 60 messages a tick, with its blocks each second and keyframes every 5 s written to disk.
void BM_RecordStream(benchmark::State& state)
{
    BusyWorld world(100);
    char folder[] = "/tmp/skirmish-bench-XXXXXX";
    if (!mkdtemp(folder))
        return state.SkipWithError("no temporary folder");
    {
        std::ostringstream quiet;
        ScopedConsole console(quiet);
        Recorder recorder({.dir = folder}, DemoHeader{}, [] { return int64_t{0}; });
        recorder.beforeJoin(*world.level, world.clock.now());
        int64_t n = 0;
        for (auto _ : state) {
            const int id = static_cast<int>(n % 100);
            const float step = static_cast<float>(n / 60);
            recorder.record(message::ProjMove(id, 100.0f + id + step * 3.7f, 50.0f - step * 1.3f).bytes());
            if (++n % 60 == 0) {
                world.clock.advance(17);
                recorder.beforePass(*world.level, world.clock.now());
            }
        }
        state.SetItemsProcessed(state.iterations());
    }
    std::filesystem::remove_all(folder);
}
BENCHMARK(BM_RecordStream);

// What a busy recording costs the pass: 340 messages a 17 ms pass (20,000 a second,
// the 126-bot rate), each pass's start timed; the slowest start is the stall a
// player would feel once a block is due.
void BM_PassWithBusyRecorder(benchmark::State& state)
{
    BusyWorld world(100);
    char folder[] = "/tmp/skirmish-bench-XXXXXX";
    if (!mkdtemp(folder))
        return state.SkipWithError("no temporary folder");
    std::vector<double> starts;
    {
        std::ostringstream quiet;
        ScopedConsole console(quiet);
        Recorder recorder({.dir = folder}, DemoHeader{}, [] { return int64_t{0}; });
        recorder.beforeJoin(*world.level, world.clock.now());
        int64_t n = 0;
        for (auto _ : state) {
            for (int i = 0; i < 340; ++i, ++n) {
                const int id = static_cast<int>(n % 100);
                const float step = static_cast<float>(n / 60);
                recorder.record(message::ProjMove(id, 100.0f + id + step * 3.7f, 50.0f - step * 1.3f).bytes());
            }
            world.clock.advance(17);
            auto begin = std::chrono::steady_clock::now();
            recorder.beforePass(*world.level, world.clock.now());
            starts.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count());
        }
    }
    // What a pass used to spend at a block's turn: compressing a second's records.
    DemoBlockWriter block;
    for (int n = 0; n < 20000; ++n)
        block.add(static_cast<uint32_t>(n / 20), message::ProjMove(n % 100, 100.0f + n % 100 + n / 60 * 3.7f, 50.0f - n / 60 * 1.3f).bytes());
    auto begin = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(block.finish(100));
    state.counters["block_compress_ms"] = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
    std::sort(starts.begin(), starts.end());
    state.counters["pass_start_p99_ms"] = starts[starts.size() * 99 / 100];
    state.counters["pass_start_max_ms"] = starts.back();
    std::filesystem::remove_all(folder);
}
BENCHMARK(BM_PassWithBusyRecorder)->Iterations(1200);

// What the loop's thread spends on the ban list when it holds range(0) bans: the pass
// that runs a "ban" and the pass that takes its written file back, then the pass that
// asks for a reload (SIGHUP) and the one that takes the file read. The disk's own time,
// between them, is not counted: it is the disk thread's.
void BM_BanListLoopCost(benchmark::State& state)
{
    BusyWorld world(0);
    char folder[] = "/tmp/skirmish-bench-XXXXXX";
    if (!mkdtemp(folder))
        return state.SkipWithError("no temporary folder");
    const std::string path = std::string(folder) + "/bans.txt";
    const auto count = static_cast<uint32_t>(state.range(0));
    {
        std::ofstream file(path);
        for (uint32_t i = 0; i < count; ++i)
            file << "10." << (i >> 16) << '.' << ((i >> 8) & 255) << '.' << (i & 255) << " never cheating\n";
    }
    std::vector<double> banMs, reloadMs;
    {
        std::ostringstream quiet;
        ScopedConsole console(quiet);
        std::string error;
        BanList bans(path);
        if (!bans.load(error))
            return state.SkipWithError(error.c_str());
        Admin admin(bans, [] { return int64_t{1'800'000'000}; });
        bool reload = false;
        admin.reloadWhen([&] { return std::exchange(reload, false); }, {});
        auto timedPasses = [&](std::vector<double>& into) {
            auto begin = std::chrono::steady_clock::now();
            admin.runCommands(*world.level, world.clock.now(), world.out);
            double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
            admin.settle();
            begin = std::chrono::steady_clock::now();
            admin.runCommands(*world.level, world.clock.now(), world.out);
            into.push_back(ms + std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count());
        };
        int n = 0;
        for (auto _ : state) {
            std::istringstream line("ban 11.0." + std::to_string(n / 256) + "." + std::to_string(n % 256) + "\n");
            ++n;
            admin.link().readStandardInput(line, -1);
            timedPasses(banMs);
            reload = true;
            timedPasses(reloadMs);
        }
    }
    std::sort(banMs.begin(), banMs.end());
    std::sort(reloadMs.begin(), reloadMs.end());
    state.counters["loop_ms_per_ban_median"] = banMs[banMs.size() / 2];
    state.counters["loop_ms_per_ban_max"] = banMs.back();
    state.counters["loop_ms_per_reload_median"] = reloadMs[reloadMs.size() / 2];
    state.counters["loop_ms_per_reload_max"] = reloadMs.back();
    std::filesystem::remove_all(folder);
}
BENCHMARK(BM_BanListLoopCost)->Arg(100'000)->Arg(1'000'000)->Iterations(5)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace skirmish

BENCHMARK_MAIN();

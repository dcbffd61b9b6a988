#pragma once

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/main_loop.h"
#include "game_harness.h"
#include "core/clock.h"
#include "core/console.h"
#include "core/random.h"
#include "game/insta_weapon.h"
#include "game/level.h"
#include "game/projectile_ids.h"
#include "net/memory_transport.h"
#include "net/net.h"
#include "protocol/codec.h"
#include "protocol/messages.h"

namespace skirmish::testing {

// The main loop over the in-memory transport with a fake clock, a scripted
// generator and a captured console: the whole server, without sockets or sleeping.
struct ServerHarness {
    explicit ServerHarness(int players = 8, int rooms = 3, int sizeX = 10, int sizeY = 10)
        : useClock(clock), useRandom(random), useConsole(console)
    {
        auto transport = std::make_unique<MemoryTransport>();
        net = transport.get();
        NetUseTransport(std::move(transport));
        NetHost(players);
        level = std::make_unique<Level>(rooms, sizeX, sizeY, 1, players);
        for (int i = 0; i <= rooms; ++i)
            level->rooms[static_cast<size_t>(i)] = Room{10 * i, 10 * i + 1, 2 + i, 3 + i};
        // One predictable weapon: damage 10, ready after 0.5 s, one straight projectile living 1 s.
        level->entities.weapons[0] = std::make_unique<InstaWeapon>(10, 0.5f, 1, 0.0f, 1.0f, clock.now());
        loop.tickReference = clock.now();
        TheProjectileIdPool() = ProjectileIdPool{};
    }

    ~ServerHarness() { NetUseTransport(nullptr); }

    // One pass of the main loop, then the flush that ends every pass.
    void pass()
    {
        RunPass(*level, loop, clock.now(), out);
        NetService(0);
    }

    // A client connects and the server takes the join.
    int join(const std::string& address = "127.0.0.1")
    {
        int id = net->connect(address);
        pass();
        return id;
    }

    // A joined client that named itself and came to life at (x, y), with all traffic so far cleared.
    int joinAlive(float x, float y, const std::string& name = "p")
    {
        int id = join();
        send(id, command::Name(name));
        BringToLife(slot(id), x, y);
        net->clearReceived();
        console.str("");
        return id;
    }

    void send(int id, const MessageWriter& message, bool runPass = true)
    {
        net->send(id, message);
        if (runPass)
            pass();
    }

    Player& slot(int id) { return level->entities.players.at(static_cast<size_t>(id)); }

    std::vector<std::string> received(int id) const { return net->received(id); }

    std::vector<std::string> consoleLines() const { return Lines(console); }

    FakeClock clock{100000};
    ScriptedRandom random;
    std::ostringstream console;
    ScopedClock useClock;
    ScopedRandom useRandom;
    ScopedConsole useConsole;
    MemoryTransport* net = nullptr;
    std::unique_ptr<Level> level;
    LoopState loop{0};
    NetOutbox out;
};

} // namespace skirmish::testing

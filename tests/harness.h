#pragma once
// The two fixtures of the game: its rules alone through a recording outbox (Game),
// and the whole server, main loop and network layer, over the in-memory transport on
// a fake clock (ServerHarness). Both start from the same known level.

#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/main_loop.h"
#include "core/clock.h"
#include "core/console.h"
#include "core/random.h"
#include "game/commands.h"
#include "game/insta_weapon.h"
#include "game/level.h"
#include "game/outbox.h"
#include "game/projectile_ids.h"
#include "game/seating.h"
#include "net/memory/memory_transport.h"
#include "net/server/net.h"
#include "protocol/messages.h"

namespace skirmish::testing {

// Records what the rules tell whom, each message decoded to text; receiver 0 is everyone.
struct RecordingOutbox final : Outbox {
    void toPlayer(int id, const MessageWriter& message) override { sent.emplace_back(id, Text(message)); }
    void toAll(const MessageWriter& message) override { sent.emplace_back(0, Text(message)); }
    static std::string Text(const MessageWriter& message) { return DecodeMessage(message.bytes()).describe(); }
    std::vector<std::pair<int, std::string>> sent;
};

// A level whose room entry i is at (10i, 10i + 1), i + 2 by i + 3, with one weapon:
// damage 10, ready 0.5 s after now, one straight projectile living 1 s.
struct KnownLevel {
    KnownLevel(int players, int rooms, int sizeX, int sizeY, int32_t now)
        : useRandom(random), useConsole(console), level(std::make_unique<Level>(rooms, sizeX, sizeY, 1, players))
    {
        for (int i = 0; i <= rooms; ++i)
            level->rooms[static_cast<size_t>(i)] = Room{10 * i, 10 * i + 1, 2 + i, 3 + i};
        level->entities.weapons[0] = std::make_unique<InstaWeapon>(10, 0.5f, 1, 0.0f, 1.0f, now);
        TheProjectileIdPool() = ProjectileIdPool{};
    }
    Player& slot(int id) { return level->entities.players.at(static_cast<size_t>(id)); }
    void bringToLife(int id, float x, float y)
    {
        slot(id).dead = false;
        slot(id).health = 100;
        slot(id).x = x;
        slot(id).y = y;
    }
    std::vector<std::string> consoleLines() const
    {
        std::vector<std::string> lines;
        std::istringstream in(console.str());
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

    ScriptedRandom random;
    std::ostringstream console;
    ScopedRandom useRandom;
    ScopedConsole useConsole;
    std::unique_ptr<Level> level;
};

// The rules alone, no network: the test sets the time.
struct Game : KnownLevel {
    explicit Game(int players = 8, int rooms = 3, int sizeX = 10, int sizeY = 10)
        : KnownLevel(players, rooms, sizeX, sizeY, 100000) {}

    // A join of the lowest free id, as the network layer would hand it out.
    int seat()
    {
        int id = 1;
        while (slot(id).connected)
            ++id;
        SeatPlayer(*level, id, "127.0.0.1", now, out);
        return id;
    }
    // A seated player that named itself and came to life at (x, y), with all output so far cleared.
    int seatAlive(float x, float y)
    {
        int id = seat();
        handle(id, command::Name("p"));
        bringToLife(id, x, y);
        clear();
        return id;
    }
    void handle(int id, const MessageWriter& message) { HandleMessage(*level, id, message.bytes(), now, out); }
    // What reached player id: what was sent to it and every broadcast, in order.
    std::vector<std::string> received(int id) const
    {
        std::vector<std::string> reached;
        for (const auto& [to, text] : out.sent)
            if (to == id || to == 0)
                reached.push_back(text);
        return reached;
    }
    void clear()
    {
        out.sent.clear();
        console.str("");
    }

    int32_t now = 100000;
    RecordingOutbox out;
};

// The main loop over the in-memory transport: the whole server, without sockets or sleeping.
struct ServerHarness : KnownLevel {
    explicit ServerHarness(int players = 8) : KnownLevel(players, 3, 10, 10, 100000), useClock(clock)
    {
        auto transport = std::make_unique<MemoryTransport>();
        net = transport.get();
        NetUseTransport(std::move(transport));
        NetHost(players);
        loop.tickReference = clock.now();
    }
    ~ServerHarness() { NetUseTransport(nullptr); }

    // One pass of the main loop, then the flush that ends every pass.
    void pass()
    {
        RunPass(*level, loop, clock, in, out);
        NetService(0);
    }
    int join(const std::string& address = "127.0.0.1", WireVersion version = WireVersion::V1)
    {
        int id = net->connect(address, Role::Player, version);
        pass();
        return id;
    }
    int joinAlive(float x, float y, WireVersion version = WireVersion::V1)
    {
        int id = join("127.0.0.1", version);
        send(id, command::Name("p"));
        bringToLife(id, x, y);
        net->clearReceived();
        console.str("");
        return id;
    }
    void send(int id, const MessageWriter& message)
    {
        net->send(id, message);
        pass();
    }
    std::vector<std::string> received(int id) const { return net->received(id); }

    FakeClock clock{100000};
    ScopedClock useClock;
    MemoryTransport* net = nullptr;
    LoopState loop{0};
    NetOutbox out;
    NetInbox in;
};

} // namespace skirmish::testing

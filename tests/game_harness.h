#pragma once

#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "core/console.h"
#include "core/random.h"
#include "game/commands.h"
#include "game/insta_weapon.h"
#include "game/level.h"
#include "game/outbox.h"
#include "game/projectile_ids.h"
#include "game/seating.h"
#include "protocol/codec.h"
#include "protocol/messages.h"

namespace skirmish::testing {

// Records what the rules tell whom, each message decoded to text.
class RecordingOutbox final : public Outbox {
public:
    static constexpr int kAll = 0;

    void toPlayer(int id, const MessageWriter& message) override { sent.emplace_back(id, Describe(message)); }
    void toAll(const MessageWriter& message) override { sent.emplace_back(kAll, Describe(message)); }

    // What reaches player id: what was sent to it and every broadcast, in order.
    std::vector<std::string> to(int id) const
    {
        std::vector<std::string> reached;
        for (const auto& [receiver, text] : sent)
            if (receiver == id || receiver == kAll)
                reached.push_back(text);
        return reached;
    }

    std::vector<std::pair<int, std::string>> sent;

private:
    static std::string Describe(const MessageWriter& message) { return DecodeMessage(message.bytes()).describe(); }
};

// A player made alive at (x, y) with full health, as a respawn would leave it.
inline void BringToLife(Player& player, float x, float y)
{
    player.dead = false;
    player.health = 100;
    player.x = x;
    player.y = y;
}

inline std::vector<std::string> Lines(const std::ostringstream& console)
{
    std::vector<std::string> lines;
    std::istringstream in(console.str());
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The game rules alone, with no network: a level with known rooms and one known
// weapon, a clock reading the test sets, a scripted generator, a captured console.
struct Game {
    explicit Game(int players = 8, int rooms = 3, int sizeX = 10, int sizeY = 10)
        : useRandom(random), useConsole(console), level(std::make_unique<Level>(rooms, sizeX, sizeY, 1, players))
    {
        for (int i = 0; i <= rooms; ++i)
            level->rooms[static_cast<size_t>(i)] = Room{10 * i, 10 * i + 1, 2 + i, 3 + i};
        // One predictable weapon: damage 10, ready after 0.5 s, one straight projectile living 1 s.
        level->entities.weapons[0] = std::make_unique<InstaWeapon>(10, 0.5f, 1, 0.0f, 1.0f, now);
        TheProjectileIdPool() = ProjectileIdPool{};
    }

    // A join of the lowest free id, as the network layer would hand it out.
    int seat(const std::string& address = "127.0.0.1")
    {
        int id = 1;
        while (slot(id).connected)
            ++id;
        SeatPlayer(*level, id, address, now, out);
        return id;
    }

    // A seated player that named itself and came to life at (x, y), with all output so far cleared.
    int seatAlive(float x, float y, const std::string& name = "p")
    {
        int id = seat();
        handle(id, command::Name(name));
        BringToLife(slot(id), x, y);
        clear();
        return id;
    }

    void handle(int id, const MessageWriter& message) { HandleMessage(*level, id, message.bytes(), now, out); }

    Player& slot(int id) { return level->entities.players.at(static_cast<size_t>(id)); }
    std::vector<std::string> received(int id) const { return out.to(id); }

    void clear()
    {
        out.sent.clear();
        console.str("");
    }

    std::vector<std::string> consoleLines() const { return Lines(console); }

    int32_t now = 100000;
    ScriptedRandom random;
    std::ostringstream console;
    ScopedRandom useRandom;
    ScopedConsole useConsole;
    std::unique_ptr<Level> level;
    RecordingOutbox out;
};

} // namespace skirmish::testing

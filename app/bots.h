#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/random.h"
#include "game/level.h"
#include "game/timers.h"
#include "protocol/codec.h"

namespace skirmish {

// A bot takes a turn every six movement ticks (about ten a second), the bots' turns
// spread over the six and falling on the ticks' own times: while projectiles fly, a
// bot's turn costs the loop no wake-up of its own.
constexpr int32_t kBotTurnTicks = 6;
constexpr int32_t kBotThinkMs = kBotTurnTicks * kMovementTickMs;
// One step of a bot's move, as a held arrow key of the game page makes.
constexpr float kBotStep = 6.0f;
// "[bot] " then a name: every client can tell a bot by its name.
inline constexpr const char* kBotMark = "[bot] ";

// How well a bot plays. A bot sees a new target only after its reaction time; its
// aim strays by up to the aim error either way; in each turn it fires and steps
// with the given chances. `hard` is the bots as they first were: no delay, every turn.
struct BotSkill {
    std::string_view name;
    int32_t reactionMs;
    int32_t aimStrayDegrees;
    int32_t firePercent; // chance per turn to send "Fire"
    int32_t movePercent; // chance per turn to step toward the target
};
extern const BotSkill kBotSkills[3]; // easy, normal, hard
const BotSkill& DefaultBotSkill();   // normal
// The skill of that name, or nothing.
const BotSkill* FindBotSkill(std::string_view name);

// What one bot knows: only what the server told it, as any client would hear it.
class BotMind {
public:
    void hear(const DecodedMessage& message);
    // The commands of one turn: toward the nearest live player, aimed, firing as
    // the skill allows. The weapon's own timer decides whether a shot leaves; a
    // turn comes often enough to fire soon after it is ready.
    std::vector<MessageWriter> think(RandomGenerator& random, const BotSkill& skill, int32_t now);
    int id() const { return id_; }

private:
    struct Seen {
        float x = 0;
        float y = 0;
        bool dead = true;
    };
    int id_ = 0;
    bool ownJoinNext_ = false; // the "Joined" after our snapshot is our own
    int roomRecordsLeft_ = 0;
    std::map<int, Seen> players_;
    std::optional<int32_t> lastAim_;
    int target_ = 0;          // the player aimed at, 0 for none
    int32_t targetSince_ = 0; // when that target was first seen
};

// The server's own players, filling empty seats: people and bots together make
// the target while seats allow. Bots are clients in this process: they take ids from
// the players' pool, send only commands a client can send, through the same path,
// and read only what the server sends them.
class Admin;
class Bots;
class Recorder;
// count bots of the named skill, or null for none. The operators' status names their
// skill, and the recordings then count people alone: bots alone are no match worth keeping.
std::unique_ptr<Bots> StartBots(int count, std::string_view skill, const Level& level, Admin& admin, Recorder* recorder);

class Bots {
public:
    // target 0: no bots at all. The generator is the bots' own.
    Bots(int target, uint32_t seed, const BotSkill& skill = DefaultBotSkill()) : target_(target), skill_(&skill)
    {
        random_.seed(seed);
    }

    // A step of the pass: seats or lets go of bots as people come and go, then lets
    // each bot whose turn has come hear what it was sent and act. A new bot's turns
    // keep the phase of the movement ticks, given by their reference.
    void run(int32_t now, int32_t tickReference);
    // Milliseconds until the next bot's turn; nothing without bots.
    std::optional<int32_t> msUntilDue(int32_t now) const;
    int count() const { return static_cast<int>(bots_.size()); }
    // The skill of the bot with that id, or nothing when no bot of ours has it.
    const BotSkill* skillOf(int id) const;

private:
    struct Bot {
        int id;
        std::string name;
        int32_t nextTurn;
        BotMind mind;
    };
    void seat(int32_t tickReference);
    void turn(Bot& bot, int32_t now);

    int target_;
    const BotSkill* skill_;
    LinearRandom random_;
    int named_ = 0; // bots seated so far, for their names
    std::vector<Bot> bots_; // oldest first
};

} // namespace skirmish

#include "app/bots.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "app/admin.h"
#include "app/recorder.h"
#include "core/clock.h"
#include "core/console.h"
#include "net/server/net.h"
#include "protocol/messages.h"
#include "protocol/names.h"

namespace skirmish {
namespace {

const char* const kNames[] = {"Ada",    "Alan",  "Grace", "Edsger", "Barbara", "Donald", "Frances", "John",
                              "Hedy",   "Linus", "Radia", "Ken",    "Margaret", "Dennis", "Sophie", "Niklaus"};

// The messages a mind acts on. Those of other names (most of all the projectiles'
// steps) are not decoded at all; the rooms' records have no name and are counted.
bool Heard(std::span<const uint8_t> message)
{
    constexpr std::string_view kHeardNames[] = {names::kLevelInfo, names::kPlayer, names::kProjDone, names::kJoined,
                                                names::kMoved,     names::kDead,   names::kAlive,    names::kLeft};
    if (message.empty() || message[0] != static_cast<uint8_t>(FieldType::Text))
        return true;
    return std::any_of(std::begin(kHeardNames), std::end(kHeardNames),
                       [&](std::string_view name) { return IsNamed(message, name); });
}

// Close enough to shoot rather than walk on: a step would overshoot.
constexpr float kNearEnough = 2 * kBotStep;

// A whole-degree heading: 0 is up the screen (y falling), 90 right, as the game page aims.
int32_t HeadingDegrees(float dx, float dy)
{
    long degrees = std::lround(std::atan2(static_cast<double>(dx), -static_cast<double>(dy)) * 180.0 / M_PI);
    return static_cast<int32_t>((degrees % 360 + 360) % 360);
}

// One key's worth of a step toward the target on an axis: -step, 0 or +step.
float AxisStep(float gap) { return gap > kBotStep / 2 ? kBotStep : gap < -kBotStep / 2 ? -kBotStep : 0.0f; }

// Commands packed into packets as a network client packs them.
void SendAsClient(int id, const std::vector<MessageWriter>& commands)
{
    PacketPacker packer;
    auto send = [&](Bytes&& packet) { NetLocalSend(id, packet); };
    for (const MessageWriter& command : commands)
        packer.add(command.bytes(), send);
    packer.flush(send);
}

// Whether a chance of percent out of a hundred comes up; 100 always does and draws nothing.
bool Chance(RandomGenerator& random, int32_t percent) { return percent >= 100 || random.next() % 100 < percent; }

} // namespace

// Measured with `bench/run --bot-ladder`: hard kills over twice what easy does, and a
// newcomer standing still among three normal bots lives well past ten seconds.
const BotSkill kBotSkills[3] = {
    {"easy", 2000, 35, 12, 25},
    {"normal", 1500, 24, 20, 45},
    {"hard", 0, 4, 100, 100},
};

const BotSkill& DefaultBotSkill() { return kBotSkills[1]; }

const BotSkill* FindBotSkill(std::string_view name)
{
    for (const BotSkill& skill : kBotSkills)
        if (skill.name == name)
            return &skill;
    return nullptr;
}

void BotMind::hear(const DecodedMessage& message)
{
    const auto& f = message.fields;
    auto i = [&](size_t at) { return at < f.size() ? f[at].intValue : 0; };
    auto x = [&](size_t at) { return at < f.size() ? f[at].floatValue : 0.0f; };
    if (roomRecordsLeft_ > 0 && !f.empty() && f[0].type == FieldType::Int) {
        --roomRecordsLeft_; // the rooms matter nothing to a walk across open ground
        return;
    }
    const std::string name = message.name();
    if (name == names::kLevelInfo) {
        players_.clear();
        roomRecordsLeft_ = i(1) + 1;
    } else if (name == names::kPlayer) {
        players_[i(1)] = {x(3), x(4), f.size() > 5 && f[5].byteValue != 0};
    } else if (name == names::kProjDone) {
        ownJoinNext_ = true;
    } else if (name == names::kJoined) {
        if (std::exchange(ownJoinNext_, false))
            id_ = i(1);
        players_.try_emplace(i(1));
    } else if (name == names::kMoved) {
        players_[i(1)].x = x(2);
        players_[i(1)].y = x(3);
    } else if (name == names::kDead) {
        players_[i(1)].dead = true;
    } else if (name == names::kAlive) {
        players_[i(1)].dead = false;
    } else if (name == names::kLeft) {
        players_.erase(i(1));
    }
}

std::vector<MessageWriter> BotMind::think(RandomGenerator& random, const BotSkill& skill, int32_t now)
{
    auto me = players_.find(id_);
    if (id_ == 0 || me == players_.end() || me->second.dead)
        return {};
    const Seen* target = nullptr;
    int targetId = 0;
    float nearest = 0;
    for (const auto& [id, seen] : players_) {
        if (id == id_ || seen.dead)
            continue;
        float gapX = seen.x - me->second.x, gapY = seen.y - me->second.y;
        float distance = gapX * gapX + gapY * gapY;
        if (!target || distance < nearest) {
            target = &seen;
            targetId = id;
            nearest = distance;
        }
    }
    if (targetId != target_) {
        target_ = targetId;
        targetSince_ = now;
    }
    // Until the reaction time has passed, the bot has not yet noticed its target.
    if (!target || ElapsedMs(now, targetSince_) < skill.reactionMs)
        return {};
    std::vector<MessageWriter> commands;
    const float gapX = target->x - me->second.x, gapY = target->y - me->second.y;
    if (nearest > kNearEnough * kNearEnough && (AxisStep(gapX) != 0 || AxisStep(gapY) != 0) &&
        Chance(random, skill.movePercent))
        commands.push_back(command::Move(AxisStep(gapX), AxisStep(gapY)));
    int32_t stray = random.next() % (2 * skill.aimStrayDegrees + 1) - skill.aimStrayDegrees;
    int32_t aim = (HeadingDegrees(gapX, gapY) + stray + 360) % 360;
    if (aim != lastAim_) {
        commands.push_back(command::Rotate(static_cast<float>(aim)));
        lastAim_ = aim;
    }
    if (Chance(random, skill.firePercent))
        commands.push_back(command::Fire());
    return commands;
}

void Bots::run(int32_t now, int32_t tickReference)
{
    if (target_ <= 0)
        return;
    seat(tickReference);
    for (Bot& bot : bots_) {
        if (ElapsedMs(now, bot.nextTurn) < 0)
            continue;
        bot.nextTurn += kBotThinkMs * (1 + ElapsedMs(now, bot.nextTurn) / kBotThinkMs); // missed turns are not made up
        turn(bot, now);
    }
}

void Bots::seat(int32_t tickReference)
{
    // A bot whose seat went to a person, or that was kicked, is gone.
    std::erase_if(bots_, [](const Bot& bot) {
        if (NetIsLocal(bot.id))
            return false;
        ConsoleLine("Bot ", bot.id, " (", bot.name, ") left.");
        return true;
    });
    const int wanted = std::max(0, target_ - NetPeopleCount());
    while (static_cast<int>(bots_.size()) > wanted) {
        const Bot& newest = bots_.back();
        ConsoleLine("Bot ", newest.id, " (", newest.name, ") makes way for a person.");
        NetKick(newest.id, {});
        bots_.pop_back();
    }
    while (static_cast<int>(bots_.size()) < wanted) {
        int id = NetConnectLocal();
        if (id == 0)
            return;
        std::string name = kBotMark + std::string(kNames[static_cast<size_t>(named_++) % std::size(kNames)]);
        // Turns spread over the ticks of a turn, so the bots' commands do not all land in one pass.
        int32_t offset = kMovementTickMs * (1 + static_cast<int32_t>(bots_.size()) % kBotTurnTicks);
        std::vector<MessageWriter> naming;
        naming.push_back(command::Name(name));
        SendAsClient(id, naming);
        ConsoleLine("Bot ", id, " (", name, ") came in.");
        bots_.push_back({id, std::move(name), tickReference + offset, {}});
    }
}

void Bots::turn(Bot& bot, int32_t now)
{
    for (const Bytes& packet : NetLocalTake(bot.id))
        ForEachMessage(packet, [&](std::span<const uint8_t> message) {
            if (Heard(message))
                bot.mind.hear(DecodeMessage(message));
        });
    SendAsClient(bot.id, bot.mind.think(random_, *skill_, now));
}

const BotSkill* Bots::skillOf(int id) const
{
    auto bot = std::find_if(bots_.begin(), bots_.end(), [id](const Bot& b) { return b.id == id; });
    return bot == bots_.end() ? nullptr : skill_;
}

std::optional<int32_t> Bots::msUntilDue(int32_t now) const
{
    std::optional<int32_t> due;
    for (const Bot& bot : bots_) {
        int32_t wait = std::max(0, -ElapsedMs(now, bot.nextTurn));
        due = due ? std::min(*due, wait) : wait;
    }
    return due;
}

std::unique_ptr<Bots> StartBots(int count, std::string_view skill, const Level& level, Admin& admin, Recorder* recorder)
{
    if (count <= 0)
        return nullptr;
    // The bots' generator is their own: their choices take no draws from the game's.
    auto bots = std::make_unique<Bots>(count, static_cast<uint32_t>(level.seed) ^ 0x5b07u, *FindBotSkill(skill));
    admin.botSkillOf = [of = bots.get()](int id) {
        const BotSkill* found = of->skillOf(id);
        return found ? found->name : std::string_view();
    };
    if (recorder)
        recorder->countPeopleBy(NetPeopleCount);
    return bots;
}

} // namespace skirmish

#include "tools/bot.h"

#include <utility>

#include "protocol/messages.h"
#include "protocol/names.h"

namespace skirmish {
namespace {

double Milliseconds(BotClock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

BotClock::duration Period(double perSecond)
{
    return std::chrono::duration_cast<BotClock::duration>(std::chrono::duration<double>(1.0 / perSecond));
}

} // namespace

Bot::Bot(int number, BotRates rates, uint32_t seed) : name_("bot-" + std::to_string(number)), rates_(rates), random_(seed)
{
}

bool Bot::connect(const std::string& host, uint16_t port, int timeoutMs, bool websocket, Role role,
                  WireVersion version)
{
    spectator_ = role == Role::Spectator;
    client_.useVersion(version);
    if (!(websocket ? client_.connectWebSocket(host, port, timeoutMs, role)
                    : client_.connect(host, port, timeoutMs, 1, role)))
        return false;
    // A spectator is sent its snapshot unasked, and never gets an id to send with.
    if (!spectator_)
        client_.send(command::Name(name_));
    client_.service(0);
    // Spread the bots' sends over a whole period instead of all at once.
    auto now = BotClock::now();
    std::uniform_real_distribution<double> phase(0, 1);
    nextMove_ = now + std::chrono::duration_cast<BotClock::duration>(Period(rates_.movesPerSecond) * phase(random_));
    nextFire_ = now + std::chrono::duration_cast<BotClock::duration>(Period(rates_.firesPerSecond) * phase(random_));
    return true;
}

void Bot::disconnect() { client_.disconnect(500); }

void Bot::step(BotClock::time_point now, bool measuring)
{
    if (id_ != 0 && client_.connected())
        sendDue(now);
    client_.service(0);
    read(BotClock::now(), measuring);
}

void Bot::sendDue(BotClock::time_point now)
{
    std::uniform_real_distribution<float> step(-3.0f, 3.0f);
    std::uniform_real_distribution<float> angle(0.0f, 360.0f);
    if (rates_.movesPerSecond > 0 && now >= nextMove_) {
        nextMove_ += Period(rates_.movesPerSecond);
        if (nextMove_ < now)
            nextMove_ = now;
        float dx = step(random_);
        float dy = step(random_);
        client_.send(command::Move(dx, dy));
        client_.send(command::Rotate(angle(random_)));
        movesInFlight_.push_back(now);
        stats_.commandsSent += 2;
    }
    if (rates_.firesPerSecond > 0 && now >= nextFire_) {
        nextFire_ += Period(rates_.firesPerSecond);
        if (nextFire_ < now)
            nextFire_ = now;
        client_.send(command::Fire());
        ++stats_.commandsSent;
    }
}

// Reads every arrived message with the field reads alone: a bot process may take
// millions of messages a second, so nothing is decoded that is not needed.
void Bot::read(BotClock::time_point now, bool measuring)
{
    while (client_.nextMessage()) {
        ++stats_.messages;
        handle(client_.getString(31), now, measuring);
        if (client_.currentBroken())
            ++stats_.malformed;
    }
    stats_.bytes = client_.bytesReceived();
}

void Bot::handle(const std::string& name, BotClock::time_point now, bool measuring)
{
    auto settleEcho = [&](bool respawn) {
        if (!pendingEcho_)
            return;
        pendingEcho_ = false;
        if (respawn || movesInFlight_.empty())
            return;
        if (measuring)
            stats_.moveEcho.record(Milliseconds(pendingEchoAt_ - movesInFlight_.front()));
        movesInFlight_.pop_front();
    };

    const bool ownJoin = std::exchange(ownJoinNext_, false);
    if (name == names::kProjMove) {
        settleEcho(false);
        int32_t projectile = client_.getInt();
        client_.getFloat();
        client_.getFloat();
        auto [last, fresh] = lastProjMove_.try_emplace(projectile, now);
        if (!fresh) {
            if (measuring)
                stats_.projCadence.record(Milliseconds(now - last->second));
            last->second = now;
        }
    } else if (name == names::kMoved) {
        settleEcho(false);
        int32_t who = client_.getInt();
        client_.getFloat();
        client_.getFloat();
        if (who == id_ && id_ != 0) {
            pendingEcho_ = true;
            pendingEchoAt_ = now;
        }
    } else if (name == names::kAlive) {
        int32_t who = client_.getInt();
        settleEcho(who == id_);
    } else if (name == names::kNewProjectile) {
        settleEcho(false);
        int32_t projectile = client_.getInt();
        client_.getFloat();
        client_.getFloat();
        client_.getFloat();
        if (trackProjectiles_) {
            live_.insert(projectile);
            stats_.liveProjectilesMax = std::max(stats_.liveProjectilesMax, live_.size());
        }
    } else if (name == names::kProjDelete) {
        settleEcho(false);
        int32_t projectile = client_.getInt();
        lastProjMove_.erase(projectile);
        live_.erase(projectile);
    } else if (name == names::kJoined) {
        settleEcho(false);
        int32_t who = client_.getInt();
        if (ownJoin)
            id_ = who;
    } else if (name == names::kServerQuit) {
        serverQuit_ = true;
    } else {
        settleEcho(false);
        static const std::unordered_set<std::string_view> known = {
            names::kGreeting, names::kLeft,   names::kRotated,     names::kPlayerMessage, names::kDead, names::kHealth,
            names::kLevelInfo, names::kPlayer, names::kPlayersDone, names::kProjDone,      ""};
        if (name == names::kProjDone) {
            ++stats_.snapshots;
            ownJoinNext_ = !spectator_;
        } else if (spectator_ && (name == names::kGreeting || name == names::kHealth)) {
            ++stats_.playerOnly;
        } else if (!known.count(name)) {
            ++stats_.unknown;
        }
    }
}

} // namespace skirmish

#include "client/motion.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/whole_number.h"
#include "protocol/names.h"

namespace skirmish::client {
namespace {

constexpr double kPingWeight = 0.2;
constexpr double kGapWeight = 0.25;
// Updates of one player heard closer than this came together: the server answers a client's
// moves at most 120 a second, so these were held back on the way (resent after a loss) and
// say nothing of its pace.
constexpr double kTogetherMs = 4;

// Our own fractions where they truncate to the server's whole-number answer (it holds the
// same floats), else the server's numbers.
Point Settle(const std::optional<Point>& predicted, Point answer)
{
    if (predicted && WholeNumber(predicted->x) == answer.x && WholeNumber(predicted->y) == answer.y)
        return *predicted;
    return answer;
}

} // namespace

Point Step(Point at, float dx, float dy)
{
    if (dx == 0 || dy == 0)
        return {at.x + dx, at.y + dy};
    return {at.x + static_cast<float>(dx / 1.141), at.y + static_cast<float>(dy / 1.141)};
}

std::optional<Point> Prediction::replay(std::optional<Point> from)
{
    for (Command& command : pending_) {
        if (command.kind == Kind::Place)
            from = command.spot ? command.spot : from;
        else if (from)
            from = Step(*from, command.dx, command.dy);
        command.result = from;
    }
    return from;
}

std::optional<Point> Prediction::shown(double now) const
{
    if (!at_)
        return std::nullopt;
    const float left = static_cast<float>(std::max(0.0, 1 - (now - correctionSince_) / kCorrectionMs));
    return Point{at_->x + correction_.x * left, at_->y + correction_.y * left};
}

void Prediction::rebase(Point base, double now)
{
    const std::optional<Point> was = shown(now);
    const std::optional<Point> before = at_;
    base_ = base;
    at_ = replay(base);
    if (!was || !at_ || before == at_)
        return;
    Point off{was->x - at_->x, was->y - at_->y};
    correction_ = std::hypot(off.x, off.y) > kSnapDistance ? Point{} : off;
    correctionSince_ = now;
}

void Prediction::sentMove(float dx, float dy, double now)
{
    pending_.push_back({Kind::Move, dx, dy, std::nullopt, now, std::nullopt});
    if (at_)
        pending_.back().result = at_ = Step(*at_, dx, dy);
}

void Prediction::sentRespawn(int32_t a, int32_t b, std::optional<Point> spot, double now)
{
    pending_.push_back({Kind::Place, 0, 0, spot, now, std::nullopt});
    // The first integer moves y, the second x.
    pending_.push_back({Kind::Offset, static_cast<float>(b), static_cast<float>(a), std::nullopt, now, std::nullopt});
    at_ = replay(base_);
    correction_ = {};
}

void Prediction::seed(Point at, double now)
{
    if (!base_)
        rebase(at, now);
}

void Prediction::moved(Point at, double now)
{
    std::optional<Command> command;
    if (!pending_.empty()) {
        command = pending_.front();
        pending_.pop_front();
    }
    justTaken_.emplace(command);
    lastMoved_ = at;
    pingBefore_ = ping_;
    if (command && command->kind == Kind::Move) {
        double sample = now - command->sent;
        ping_ = ping_ ? *ping_ + kPingWeight * (sample - *ping_) : sample;
    }
    // The room-table spot comes as stored; a move's or an offset's result as a whole number.
    rebase(!command || command->kind == Kind::Place ? at : Settle(command->result, at), now);
}

void Prediction::heard(const DecodedMessage& message, int32_t myId, double now)
{
    const Fields m{message};
    const auto taken = std::exchange(justTaken_, std::nullopt);
    if (myId == 0 || m.i(1) != myId)
        return;
    const std::string name = message.name();
    if (name == names::kMoved) {
        moved({m.f(2), m.f(3)}, now);
    } else if (name == names::kAlive && taken && !(*taken && (*taken)->kind == Kind::Offset)) {
        // The "Moved" before was an automatic respawn: the command it was taken for still waits.
        if (*taken)
            pending_.push_front(**taken);
        ping_ = pingBefore_; // it was not that move's answer
        rebase(lastMoved_, now);
        correction_ = {};
    } else if (name == names::kPlayer) {
        rebase(Settle(base_, {m.f(3), m.f(4)}), now);
    }
}

void Smoothing::heardPlayer(int32_t id, Point at, double now)
{
    Track& track = players_[id];
    if (track.samples.empty() ||
        std::hypot(at.x - track.samples.back().at.x, at.y - track.samples.back().at.y) > Prediction::kSnapDistance) {
        track.samples = {{now, at}};
        return;
    }
    Sample& last = track.samples.back();
    if (now - last.t < kTogetherMs) {
        last.at = at; // the latest counts, at the time the first of them came
        return;
    }
    // A pause longer than the longest delay says nothing about how often it moves.
    double gap = std::min(now - last.t, kMaxDelayMs);
    track.gap = track.gap ? *track.gap + kGapWeight * (gap - *track.gap) : gap;
    track.samples.push_back({now, at});
}

double Smoothing::delay(int32_t id) const
{
    auto track = players_.find(id);
    if (track == players_.end() || !track->second.gap)
        return kMaxDelayMs;
    return std::clamp(2 * *track->second.gap, kMinDelayMs, kMaxDelayMs);
}

std::optional<Point> Smoothing::player(int32_t id, double now)
{
    auto found = players_.find(id);
    if (found == players_.end() || found->second.samples.empty())
        return std::nullopt;
    auto& samples = found->second.samples;
    const double t = now - delay(id);
    while (samples.size() > 2 && samples[1].t <= t)
        samples.pop_front();
    if (t <= samples.front().t || samples.size() == 1)
        return samples.front().at;
    for (size_t i = 1; i < samples.size(); ++i)
        if (samples[i].t > t) {
            const Sample& a = samples[i - 1];
            const Sample& b = samples[i];
            const float k = static_cast<float>((t - a.t) / (b.t - a.t));
            return Point{a.at.x + (b.at.x - a.at.x) * k, a.at.y + (b.at.y - a.at.y) * k};
        }
    // Past the last update: on for at most one gap, then back to where it was last seen. Its
    // pace is its last step over the sender's cadence (its recent gap) when the two came closer
    // than that, so it is never drawn more than one step beyond the last.
    const Sample& a = samples[samples.size() - 2];
    const Sample& b = samples.back();
    const double gap = found->second.gap.value_or(kMaxDelayMs);
    const double late = t - b.t;
    const double ahead = late <= gap ? late : std::max(0.0, 2 * gap - late);
    const float k = static_cast<float>(ahead / std::max(b.t - a.t, gap));
    return Point{b.at.x + (b.at.x - a.at.x) * k, b.at.y + (b.at.y - a.at.y) * k};
}

Point Smoothing::projectile(int32_t id, Point known, double now) const
{
    auto found = projectiles_.find(id);
    if (found == projectiles_.end() || !found->second.step)
        return known;
    const Flight& flight = found->second;
    const float k = static_cast<float>(std::clamp((now - flight.t) / kTickMs, 0.0, 1.0));
    return {flight.at.x + flight.step->x * k, flight.at.y + flight.step->y * k};
}

void Smoothing::heard(const DecodedMessage& message, double now)
{
    const Fields m{message};
    const std::string name = message.name();
    if (name == names::kLevelInfo) {
        players_.clear();
        projectiles_.clear();
    } else if (name == names::kPlayer) {
        heardPlayer(m.i(1), {m.f(3), m.f(4)}, now);
    } else if (name == names::kMoved) {
        heardPlayer(m.i(1), {m.f(2), m.f(3)}, now);
    } else if (name == names::kLeft) {
        players_.erase(m.i(1));
    } else if (name == names::kNewProjectile) {
        projectiles_[m.i(1)] = {{m.f(2), m.f(3)}, now, std::nullopt};
    } else if (name == names::kProjMove) {
        // Speed and heading come from the last step, not the shot's announced facing.
        auto found = projectiles_.find(m.i(1));
        if (found != projectiles_.end()) {
            Point at{m.f(2), m.f(3)};
            found->second = {at, now, Point{at.x - found->second.at.x, at.y - found->second.at.y}};
        }
    } else if (name == names::kProjDelete) {
        projectiles_.erase(m.i(1));
    }
}

GameState Shown(const GameState& state, const Prediction& prediction, Smoothing& smoothing, std::optional<float> aim,
                double now)
{
    GameState shown = state;
    for (auto& [id, player] : shown.players) {
        std::optional<Point> at = id == state.myId ? prediction.shown(now) : smoothing.player(id, now);
        if (at) {
            player.x = at->x;
            player.y = at->y;
        }
        if (id == state.myId && aim)
            player.rotation = *aim;
    }
    for (auto& [id, projectile] : shown.projectiles) {
        Point at = smoothing.projectile(id, {projectile.x, projectile.y}, now);
        projectile.x = at.x;
        projectile.y = at.y;
    }
    return shown;
}

} // namespace skirmish::client

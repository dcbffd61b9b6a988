#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>

#include "client/game_state.h"
#include "protocol/codec.h"

namespace skirmish::client {

struct Point {
    float x = 0;
    float y = 0;
    bool operator==(const Point&) const = default;
};

// The own player's movement, drawn before the server answers: each "Move" sent is applied
// at once with the server's float step, each own "Moved" settles the oldest command still
// waiting for one, and the moves still waiting are replayed on the server's word. An own
// "Moved" with an "Alive" right after it was an automatic respawn, not an answer ("Moved"
// has no sequence number). Times are milliseconds on any clock.
class Prediction {
public:
    static constexpr float kSnapDistance = 64; // map units: a teleport, drawn at once
    static constexpr double kCorrectionMs = 100; // a smaller correction fades out over this long

    void sentMove(float dx, float dy, double now);
    // a and b as sent; spot is room-table entry 1 as map units, when known.
    void sentRespawn(int32_t a, int32_t b, std::optional<Point> spot, double now);
    // Where our snapshot put us, when it came before our id did.
    void seed(Point at, double now);
    // Every message from the server in order, for player myId (0 while unknown).
    void heard(const DecodedMessage& message, int32_t myId, double now);

    std::optional<Point> shown(double now) const;
    bool known() const { return base_.has_value(); }
    size_t waiting() const { return pending_.size(); }
    std::optional<double> ping() const { return ping_; }

private:
    enum class Kind { Move, Place, Offset };
    struct Command {
        Kind kind;
        float dx = 0, dy = 0;
        std::optional<Point> spot; // Place: where the server will put us
        double sent = 0;
        std::optional<Point> result; // the predicted position once the server has taken it
    };
    std::optional<Point> replay(std::optional<Point> from);
    void rebase(Point base, double now);
    void moved(Point at, double now);

    std::optional<Point> base_;
    std::optional<Point> at_;
    std::deque<Command> pending_;
    Point correction_;
    double correctionSince_ = 0;
    std::optional<double> ping_, pingBefore_;
    // The command the last message (an own "Moved") settled, until the next message.
    std::optional<std::optional<Command>> justTaken_;
    Point lastMoved_;
};

// The server's step: a diagonal is shortened by 1/1.141 on each axis, in 32-bit floats.
Point Step(Point at, float dx, float dy);

// Other players drawn about two of their recent update gaps behind (35 to 120 ms), between
// their last two known positions, at most one gap extrapolated; projectiles carried on at
// their last step's speed between flight steps, never more than a step ahead.
class Smoothing {
public:
    static constexpr double kMinDelayMs = 35, kMaxDelayMs = 120;
    static constexpr double kTickMs = 1000.0 / 60;

    void heard(const DecodedMessage& message, double now);
    std::optional<Point> player(int32_t id, double now);
    Point projectile(int32_t id, Point known, double now) const;
    double delay(int32_t id) const;

private:
    struct Sample {
        double t;
        Point at;
    };
    struct Track {
        std::deque<Sample> samples;
        std::optional<double> gap;
    };
    struct Flight {
        Point at;
        double t = 0;
        std::optional<Point> step;
    };
    void heardPlayer(int32_t id, Point at, double now);
    std::map<int32_t, Track> players_;
    std::map<int32_t, Flight> projectiles_;
};

// The state as drawn at now: the own player where its moves took it, its aim at once
// (aim: the angle last sent), everyone else smoothed.
GameState Shown(const GameState& state, const Prediction& prediction, Smoothing& smoothing,
                std::optional<float> aim, double now);

} // namespace skirmish::client

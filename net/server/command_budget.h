#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "net/shared/limits.h"
#include "protocol/codec.h"

namespace skirmish {

// A token bucket on the loop's clock: at most perSecond commands a second, burst at
// once. Credit is kept in thousandths of a command, so that each millisecond earns a
// whole number of them.
class CommandRate {
public:
    CommandRate(int perSecond, int burst) : perMs_(perSecond), most_(int64_t{burst} * kCost), credit_(most_) {}

    // Spends one command's credit when there is one, or when the debt that leaves is at
    // most debtMs worth of credit.
    bool take(int32_t now, int debtMs = 0);
    // Milliseconds until the next command may be taken (0: now).
    int msUntilNext(int32_t now);

private:
    static constexpr int64_t kCost = 1000;
    void refill(int32_t now);

    int64_t perMs_; // thousandths of a command a millisecond
    int64_t most_;
    int64_t credit_;
    int32_t last_ = 0;
    bool started_ = false;
};

// One client's commands in their two budgets (limits.h): moves and turns, and the rest.
// Each budget has two buckets at the same rate: one admits a command as it arrives,
// letting debt run to a second's worth, the other lets it be handled. What the first
// admitted and the second has not yet let through is thus at most a second's worth,
// and a command that would wait longer is dropped on arrival, counted to be told.
class CommandBudget {
public:
    // Whether a command arriving now is kept; one that is not counts as dropped.
    bool admit(std::span<const uint8_t> message, WireVersion version, int32_t now);
    // Spends the credit to handle a command now; false when there is none, and then
    // msUntilNext says when the budget it waits on has earned it.
    bool spend(std::span<const uint8_t> message, WireVersion version, int32_t now);
    int msUntilNext(int32_t now);

    // Commands dropped and not yet told of.
    uint64_t droppedUntold() const { return droppedUntold_; }
    // How long until the client may be told again (notices come kDroppedCommandsNoticeMs apart).
    int msUntilNotice(int32_t now) const;
    // Takes the count of dropped commands for a notice sent now.
    uint64_t takeDropped(int32_t now);

private:
    enum class Kind : uint8_t { Movement, Other };
    struct Buckets {
        CommandRate admitted, handled;
    };
    Buckets& of(Kind kind) { return kind == Kind::Movement ? movement_ : other_; }
    static Kind KindOf(std::span<const uint8_t> message, WireVersion version);

    Buckets movement_{{kMaxMovesPerSecond, kMoveBurst}, {kMaxMovesPerSecond, kMoveBurst}};
    Buckets other_{{kMaxCommandsPerSecond, kCommandBurst}, {kMaxCommandsPerSecond, kCommandBurst}};
    Kind waitingOn_ = Kind::Other;
    uint64_t droppedUntold_ = 0;
    std::optional<int32_t> lastNotice_;
};

} // namespace skirmish

#include "net/server/command_budget.h"

#include <algorithm>
#include <string>

#include "core/clock.h"
#include "protocol/compact.h"
#include "protocol/names.h"

namespace skirmish {

bool CommandRate::take(int32_t now, int debtMs)
{
    refill(now);
    if (credit_ - kCost < -debtMs * perMs_)
        return false;
    credit_ -= kCost;
    return true;
}

int CommandRate::msUntilNext(int32_t now)
{
    refill(now);
    return credit_ >= kCost ? 0 : static_cast<int>((kCost - credit_ + perMs_ - 1) / perMs_);
}

void CommandRate::refill(int32_t now)
{
    if (!started_) {
        started_ = true;
        last_ = now;
    }
    // A clock that went back earns nothing; the reading moves on with it.
    int64_t elapsed = std::max<int32_t>(ElapsedMs(now, last_), 0);
    last_ = now;
    credit_ = std::min(most_, credit_ + elapsed * perMs_);
}

CommandBudget::Kind CommandBudget::KindOf(std::span<const uint8_t> message, WireVersion version)
{
    auto movement = [](std::string_view name) { return name == names::kMove || name == names::kRotate; };
    if (version != WireVersion::V1 && !message.empty()) {
        if (message[0] != compact::kVerbatim) {
            const compact::Layout* layout = compact::LayoutOf(message[0]);
            return layout && layout->toServer && movement(layout->name) ? Kind::Movement : Kind::Other;
        }
        message = message.subspan(1); // a version 1 message carried as it is
    }
    FieldType type{};
    MessageReader reader(message);
    if (!reader.peekType(type) || type != FieldType::Text)
        return Kind::Other;
    return movement(reader.getString(names::kRotate.size() + 1)) ? Kind::Movement : Kind::Other;
}

bool CommandBudget::admit(std::span<const uint8_t> message, WireVersion version, int32_t now)
{
    if (of(KindOf(message, version)).admitted.take(now, kMaxCommandDelayMs))
        return true;
    ++droppedUntold_;
    return false;
}

bool CommandBudget::spend(std::span<const uint8_t> message, WireVersion version, int32_t now)
{
    Kind kind = KindOf(message, version);
    if (of(kind).handled.take(now))
        return true;
    waitingOn_ = kind;
    return false;
}

int CommandBudget::msUntilNext(int32_t now) { return of(waitingOn_).handled.msUntilNext(now); }

int CommandBudget::msUntilNotice(int32_t now) const
{
    return lastNotice_ ? std::max(0, kDroppedCommandsNoticeMs - ElapsedMs(now, *lastNotice_)) : 0;
}

uint64_t CommandBudget::takeDropped(int32_t now)
{
    lastNotice_ = now;
    uint64_t dropped = droppedUntold_;
    droppedUntold_ = 0;
    return dropped;
}

} // namespace skirmish

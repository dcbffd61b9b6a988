#include "tools/lossy_path.h"

namespace skirmish {

void LossyPath::offer(Packet&& packet, double nowMs)
{
    ++counts_.offered;
    // The draws come first and always, so a full queue does not shift later fates.
    std::vector<double> delays = PlanDelivery(impairment_, random_);
    if (delays.empty()) {
        ++counts_.lost;
        return;
    }
    for (size_t copy = 0; copy < delays.size(); ++copy) {
        if (held_.size() >= kMaxHeld) {
            ++counts_.overflowed;
            continue;
        }
        held_.push(Held{nowMs + delays[copy], order_++, copy + 1 < delays.size() ? packet : std::move(packet)});
    }
}

void LossyPath::deliverDue(double nowMs, const std::function<void(const Packet&)>& deliver)
{
    while (!held_.empty() && held_.top().due <= nowMs) {
        deliver(held_.top().bytes);
        ++counts_.delivered;
        held_.pop();
    }
}

std::optional<double> LossyPath::nextDueMs() const
{
    if (held_.empty())
        return std::nullopt;
    return held_.top().due;
}

} // namespace skirmish

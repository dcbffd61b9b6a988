#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <queue>
#include <random>
#include <vector>

#include "tools/relay.h"

namespace skirmish {

// One direction of the lossy link between two TUN devices: each packet offered is
// lost or held for its delay, then handed out once its time has come, earliest
// first (in the order offered while the delay is fixed). The time is passed in, in
// milliseconds of any steady clock, so one seed and one arrival pattern replay
// exactly, in tests without waiting.
class LossyPath {
public:
    using Packet = std::vector<uint8_t>;
    // Held at most at once: a link slower than its traffic loses what its queue
    // cannot hold instead of growing without end, as a router's full queue does.
    static constexpr size_t kMaxHeld = 8192;

    LossyPath(const LinkImpairment& impairment, uint32_t seed) : impairment_(impairment), random_(seed) {}

    void offer(Packet&& packet, double nowMs);
    // Hands every packet due by nowMs to deliver, earliest first.
    void deliverDue(double nowMs, const std::function<void(const Packet&)>& deliver);
    // When the earliest held packet is due; nothing while none is held.
    std::optional<double> nextDueMs() const;

    struct Counts {
        uint64_t offered = 0, lost = 0, overflowed = 0, delivered = 0;
    };
    const Counts& counts() const { return counts_; }

private:
    struct Held {
        double due;
        uint64_t order;
        Packet bytes;
        bool operator>(const Held& other) const { return due != other.due ? due > other.due : order > other.order; }
    };

    LinkImpairment impairment_;
    std::mt19937 random_;
    std::priority_queue<Held, std::vector<Held>, std::greater<>> held_;
    uint64_t order_ = 0;
    Counts counts_;
};

} // namespace skirmish

#include "net/server/spectator_feed.h"

#include <algorithm>
#include <memory>

#include "core/clock.h"

namespace skirmish {

void SpectatorFeed::add(std::span<const uint8_t> message, int32_t now)
{
    if (!since_)
        since_ = now;
    packer_.add(message, [&](Bytes&& packet) {
        closed_.push_back({std::make_shared<const Bytes>(std::move(packet)), *since_});
        since_ = now; // the packet that takes this message, if it is not the one just closed
    });
    if (packer_.empty())
        since_.reset();
}

void SpectatorFeed::close()
{
    if (since_)
        packer_.flush([&](Bytes&& packet) { closed_.push_back({std::make_shared<const Bytes>(std::move(packet)), *since_}); });
    since_.reset();
}

void SpectatorFeed::join(int id)
{
    close();
    watchers_.push_back({id, end(), static_cast<int32_t>(id % kPhases) * kFeedMs / kPhases});
}

void SpectatorFeed::leave(int id)
{
    std::erase_if(watchers_, [&](const Watcher& watcher) { return watcher.id == id; });
}

void SpectatorFeed::deliver(int32_t now, bool everything, const Send& send)
{
    if (since_ && (everything || ElapsedMs(now, *since_) >= kFeedMs))
        close();
    uint64_t slowest = end();
    for (Watcher& watcher : watchers_) {
        while (watcher.next < end()) {
            const Closed& packet = closed_[watcher.next - first_];
            if (!everything && ElapsedMs(now, packet.since) < dueAfter(watcher))
                break;
            ++watcher.next;
            send(watcher.id, packet.bytes);
        }
        slowest = std::min(slowest, watcher.next);
    }
    for (; first_ < slowest; ++first_)
        closed_.pop_front();
}

std::optional<int> SpectatorFeed::msUntilDue(int32_t now) const
{
    std::optional<int> due;
    auto consider = [&](int32_t since, int32_t after) {
        int wait = std::max(after - ElapsedMs(now, since), 0);
        due = std::min(due.value_or(wait), wait);
    };
    if (since_)
        consider(*since_, kFeedMs);
    for (const Watcher& watcher : watchers_)
        if (watcher.next < end())
            consider(closed_[watcher.next - first_].since, dueAfter(watcher));
    return due;
}

void SpectatorFeed::clear()
{
    packer_.clear();
    since_.reset();
    closed_.clear();
    first_ = 0;
    watchers_.clear();
}

} // namespace skirmish

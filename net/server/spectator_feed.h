#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "net/server/net.h"
#include "net/server/transport.h"
#include "protocol/codec.h"

namespace skirmish {

// What is sent to all, packed once for every spectator: each is sent the same bytes.
// A packet closes when full or kSpectatorFeedMs after its first message. Each
// spectator is sent it kSpectatorFeedMs plus the spectator's own phase after that
// first message; the phases spread over kSpectatorFeedMs, so that a crowd's writes
// come a few at a time, never all in one pass while players wait behind them.
class SpectatorFeed {
public:
    static constexpr int kFeedMs = kSpectatorFeedMs;
    static constexpr int kPhases = 8;

    using Send = std::function<void(int id, const SharedPacket& packet)>;

    explicit SpectatorFeed(WireVersion version = WireVersion::V1) : packer_(kSpectatorPacketBytes, version) {}

    bool empty() const { return watchers_.empty(); }
    size_t size() const { return watchers_.size(); }
    // Packs a message for every spectator watching now.
    void add(std::span<const uint8_t> message, int32_t now);
    // Watches from the next packet on: whatever was added before is not for it.
    void join(int id);
    void leave(int id);
    // Sends each spectator the packets due for it by now, in order (all of them, with everything).
    void deliver(int32_t now, bool everything, const Send& send);
    // Milliseconds until deliver has something to send; nothing when nothing waits.
    std::optional<int> msUntilDue(int32_t now) const;
    void clear();

private:
    struct Closed {
        SharedPacket bytes;
        int32_t since; // its first message's time
    };
    struct Watcher {
        int id;
        uint64_t next; // the number of the next closed packet it is to be sent
        int32_t phase;
    };
    void close();
    uint64_t end() const { return first_ + closed_.size(); }
    int32_t dueAfter(const Watcher& watcher) const { return kFeedMs + watcher.phase; }

    PacketPacker packer_;
    std::optional<int32_t> since_; // of the open packet's first message
    std::deque<Closed> closed_;    // not yet sent to every spectator
    uint64_t first_ = 0;           // the number of closed_.front()
    std::vector<Watcher> watchers_;
};

} // namespace skirmish

#pragma once

#include <cstddef>
#include <deque>
#include <span>

#include "protocol/codec.h"

namespace skirmish {

// One client's packets taken in and not yet handled, kept as they came on the wire and
// read one message at a time: a packet of thousands of tiny messages costs its own
// bytes, not a record per message, and the input cap counts what the client sent, not
// what its layout expands to.
class InputQueue {
public:
    InputQueue() = default;
    explicit InputQueue(WireVersion version) : version_(version) {}

    // A packet with no whole message in it holds nothing to handle and is not kept.
    void add(Bytes&& packet);
    bool empty() const { return packets_.empty(); }
    size_t bytes() const { return bytes_; }
    void clear() { *this = InputQueue(version_); }

    // The next message as it came; the queue must not be empty.
    std::span<const uint8_t> peek() const;
    // Takes the next message, as the game reads it (version 1); the queue must not be empty.
    void take(Bytes& message);

private:
    std::deque<Bytes> packets_; // every packet kept has a whole message left
    size_t read_ = 0;           // of the front packet
    size_t bytes_ = 0;
    WireVersion version_ = WireVersion::V1;
};

} // namespace skirmish

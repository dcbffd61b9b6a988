#pragma once

#include "protocol/codec.h"

namespace skirmish {

// The one way a rule tells clients anything: to one player, or to every client.
// The main loop hands in one over the network; tests hand in one that records.
class Outbox {
public:
    virtual ~Outbox() = default;
    virtual void toPlayer(int id, const MessageWriter& message) = 0;
    virtual void toAll(const MessageWriter& message) = 0;
    // Every projectile has taken the step of this movement tick. Nothing is told of it
    // in version 1; a client that flies projectiles itself learns from it how far.
    virtual void tickTaken(int32_t /*tick*/) {}
};

} // namespace skirmish

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
};

} // namespace skirmish

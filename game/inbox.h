#pragma once

#include <string>

#include "protocol/codec.h"

namespace skirmish {

// The one way a pass learns of joins, leaves and client messages, as the Outbox is
// the one way it tells clients anything. The main loop hands in one over the
// network; tests hand in one they fill.
class Inbox {
public:
    virtual ~Inbox() = default;
    // The next player that joined, with its address; 0 when nobody did.
    virtual int takeJoin(std::string& address) = 0;
    // The next player that left; 0 when nobody did.
    virtual int takeLeave() = 0;
    // The next client message and its sender; false when none waits.
    virtual bool takeMessage(int& from, Bytes& message) = 0;
    // The next spectator that connected, whose id is sent its snapshot and nothing
    // else alone; 0 when none did. A spectator takes no seat and sends nothing.
    virtual int takeSpectator() { return 0; }
};

} // namespace skirmish

#include "net/shared/enet_peers.h"

#include <algorithm>

namespace skirmish {
namespace {

constexpr enet_uint32 kShortestCapMs = 200;
constexpr enet_uint32 kLongestCapMs = 2000;

} // namespace

bool EnsureEnetInitialised()
{
    static const bool initialised = enet_initialize() == 0;
    return initialised;
}

void CapResendDelays(ENetPeer* peer)
{
    CapResendDelays(peer, std::clamp<enet_uint32>(2 * ResendDelayMs(peer), kShortestCapMs, kLongestCapMs));
}

void CapResendDelays(ENetPeer* peer, enet_uint32 cap)
{
    if (peer->state != ENET_PEER_STATE_CONNECTED)
        return;
    for (ENetList* list : {&peer->sentReliableCommands, &peer->outgoingCommands}) {
        for (ENetListIterator node = enet_list_begin(list); node != enet_list_end(list); node = enet_list_next(node)) {
            // A command's list node is its first member, as ENet itself relies on.
            auto* command = reinterpret_cast<ENetOutgoingCommand*>(node);
            command->roundTripTimeout = std::min(command->roundTripTimeout, cap);
        }
    }
    // ENet looks at its resend queue only once the earliest deadline it knows has passed.
    if (!enet_list_empty(&peer->sentReliableCommands)) {
        auto* first = reinterpret_cast<ENetOutgoingCommand*>(enet_list_begin(&peer->sentReliableCommands));
        enet_uint32 due = first->sentTime + first->roundTripTimeout;
        if (ENET_TIME_LESS(due, peer->nextTimeout))
            peer->nextTimeout = due;
    }
}

} // namespace skirmish

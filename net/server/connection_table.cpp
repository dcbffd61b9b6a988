#include "net/server/connection_table.h"

#include <algorithm>

namespace skirmish {

void Connection::speak(WireVersion layout)
{
    version = layout;
    inbox = InputQueue(layout);
    outgoing = PacketPacker(kPackingLimit, layout);
}

void ConnectionTable::reset(int playerSlots, int spectators)
{
    // Slot 0 stands for nobody, so only ids 1 to playerSlots − 1 go to players.
    playerSlots_ = std::max(playerSlots, 1);
    connections_.assign(static_cast<size_t>(playerSlots_ + spectators), Connection{});
}

int ConnectionTable::heldFrom(const std::string& address, bool spectators) const
{
    const int first = spectators ? playerSlots_ : 1;
    const int end = spectators ? size() : std::min(playerSlots_, size());
    int count = 0;
    for (int id = first; id < end; ++id)
        count += (*this)[id].held() && (*this)[id].address == address;
    return count;
}

int ConnectionTable::firstFree(bool spectator) const
{
    const int first = spectator ? playerSlots_ : 1;
    const int end = spectator ? size() : std::min(playerSlots_, size());
    for (int id = first; id < end; ++id)
        if ((*this)[id].state == IdState::Free)
            return id;
    return 0;
}

std::vector<int> ConnectionTable::idsFrom(const std::string& address) const
{
    std::vector<int> ids;
    for (int id = 1; id < size(); ++id)
        if ((*this)[id].held() && (*this)[id].address == address)
            ids.push_back(id);
    return ids;
}

} // namespace skirmish

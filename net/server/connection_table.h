#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "net/server/command_budget.h"
#include "net/server/input_queue.h"
#include "net/server/motion_state.h"
#include "protocol/codec.h"

namespace skirmish {

enum class IdState : uint8_t {
    Free,    // may be handed to the next connection
    Joining, // connected; the server has not taken the join yet
    Joined,  // the server took the join
};

// One id's connection. A spectator's id passes Free, Joining (connected, not yet taken
// by the loop) and Joined (watching); it is freed at its disconnect, since the game
// never knew it. A player's is freed when the loop takes its leave.
struct Connection {
    IdState state = IdState::Free;
    bool closed = false;  // the transport reported the end of the connection
    bool inTurn = false;  // its id is in the turns of the pass
    bool resting = false; // out of credit: its id waits among the resting, not in turns
    // A person took the id of a bot that made way for it: the bot's leave is taken
    // before this connection's join.
    bool leavePending = false;
    bool local = false; // a client in this process (a bot): no transport carries it
    // The layout its messages travel in; in-process clients read version 1 as the game wrote it.
    WireVersion version = WireVersion::V1;
    std::deque<Bytes> received; // what was sent to a local client, not yet taken
    std::string address;
    int32_t connectedAt = 0; // clock reading
    CommandBudget budget;
    InputQueue inbox;      // held until the join is taken, then handled in turns
    PacketPacker outgoing; // a spectator's holds its snapshot only
    // A version 3 client's, from its join on (a pointer: GCC 12 at -O3 mishandled an
    // optional of it in the table's copies).
    std::shared_ptr<MotionLink> motion;

    // Its messages travel in this layout from now on, both ways.
    void speak(WireVersion layout);
    // A client that can still be sent to: joined, and its connection not ended.
    bool reachable() const { return state == IdState::Joined && !closed; }
    // Its id is held, by a live connection.
    bool held() const { return state != IdState::Free && !closed; }
};

// Every id's connection, the index being the id (0 means nobody): players' ids first,
// then spectators'.
class ConnectionTable {
public:
    void reset(int playerSlots, int spectators);
    void clear() { connections_.clear(); }

    Connection& operator[](int id) { return connections_[static_cast<size_t>(id)]; }
    const Connection& operator[](int id) const { return connections_[static_cast<size_t>(id)]; }
    bool hasId(int id) const { return id > 0 && static_cast<size_t>(id) < connections_.size(); }
    int size() const { return static_cast<int>(connections_.size()); }
    int playerSlots() const { return playerSlots_; }
    bool isSpectator(int id) const { return id >= playerSlots_; }
    bool reachable(int id) const { return hasId(id) && (*this)[id].reachable(); }

    // Players' seats, or spectators' places, held from one address, whatever state their ids are in.
    int heldFrom(const std::string& address, bool spectators) const;
    // The lowest free id of players or spectators, 0 when none is free.
    int firstFree(bool spectator) const;
    // Every id held from one address, players' and spectators'.
    std::vector<int> idsFrom(const std::string& address) const;
    void release(int id) { (*this)[id] = Connection{}; }

private:
    std::vector<Connection> connections_;
    int playerSlots_ = 1; // ids below are players', from here on spectators'
};

} // namespace skirmish

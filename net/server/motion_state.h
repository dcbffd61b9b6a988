#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "protocol/codec.h"
#include "protocol/version3.h"

namespace skirmish {

// A state fits one datagram: a bigger one would be split and sent reliably by ENet.
constexpr size_t kMaxStateBytes = 1100;
// At most one state a client this often: about one a movement tick.
constexpr int kStateIntervalMs = 16;
// A client that has acknowledged nothing for this long is resent its state this often
// rather than every tick: it may not be listening, and each resend costs the server.
constexpr int kStateSilenceMs = 1000;
constexpr int kStateSilentResendMs = 250;

// Every player's position and facing as last told to all in "Moved" and "Rotated",
// each part stamped with a version that only grows: the world version 3 clients are
// sent as state.
class MotionWorld {
public:
    // What a message to all is to a version 3 client.
    enum class Kind {
        Event,      // sent as it is, reliably and in order
        Motion,     // a player's "Moved" or "Rotated": state, but for the player it moved
        Projectile, // a "ProjMove": the client flies it
    };
    // Takes in a version 1 message to all; subject is the player a Motion is about.
    Kind observe(std::span<const uint8_t> message, int& subject);
    void tickTaken(int32_t tick) { tick_ = tick; }
    void reset(int playerSlots);

    struct Entry {
        bool present = false;
        bool hasPosition = false;
        bool hasFacing = false;
        float x = 0;
        float y = 0;
        float facing = 0;
        uint64_t positionVersion = 0;
        uint64_t facingVersion = 0;
    };
    const std::vector<Entry>& entries() const { return entries_; }
    uint64_t version() const { return version_; }
    int32_t tick() const { return tick_; }

private:
    Entry* entry(int id);

    std::vector<Entry> entries_; // by player id
    uint64_t version_ = 0;
    int32_t tick_ = 0;
};

// One version 3 client's side of the state: what it has acknowledged of each player,
// and which recent states carried what it has not. A pose is sent in every state
// until a state carrying its newest parts is acknowledged, so the client's picture
// converges within a round trip of the last change, whatever is lost.
class MotionLink {
public:
    explicit MotionLink(int self) : self_(self) {}

    // The state due for this client now, or nothing: a state goes when the world or the
    // tick has news for it, or when something it was sent is still unacknowledged.
    std::optional<Bytes> build(const MotionWorld& world, int32_t now);
    // The client has the state with this number. Only a newer one than any before
    // counts; one never sent is ignored.
    void acknowledge(uint32_t number, int32_t now);
    // Whether this client waits for anything (news, or a resend) and from when.
    std::optional<int32_t> dueAt(const MotionWorld& world) const;

private:
    struct Known {
        uint64_t position = 0; // the versions it has acknowledged
        uint64_t facing = 0;
        // The versions the recent carries carried, the newest state that carried them,
        // and a bit for each state before that (bit d: state carriedIn - d).
        uint64_t carriedPosition = 0;
        uint64_t carriedFacing = 0;
        uint32_t carriedIn = 0;
        uint64_t carries = 0;
    };
    bool unacknowledged(const MotionWorld::Entry& entry, const Known& known) const;
    struct Candidate {
        int id;
        bool fresh; // never carried since its last change
        uint32_t carriedIn;
    };

    int self_;
    std::vector<Known> known_;
    std::vector<Candidate> candidates_; // build's, kept to spare an allocation a state
    uint32_t next_ = 1; // the next state's number
    std::optional<uint32_t> acknowledged_;
    uint64_t worldSent_ = 0; // the world's version when its last state was built
    int32_t tickSent_ = 0;
    bool sentOnce_ = false;
    bool awaiting_ = false; // its last state carried something not yet acknowledged
    int32_t lastSent_ = 0;
    int32_t lastHeard_ = 0;
};

} // namespace skirmish

#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "protocol/codec.h"

// Version 3 of the wire layout is version 2 (compact.h) with three changes, so that a
// lost datagram costs one update rather than a round trip:
// - other players' positions and facing travel as numbered state on an unreliable
//   channel, each state superseding the older ones, and the client acknowledges them;
// - projectiles are flown by the client: a new one carries the step it adds each
//   movement tick and the tick of its first step, so no "ProjMove" is sent;
// - a removed projectile says the last tick it stepped.
// Everything else is version 2's, reliable and in order.
namespace skirmish::v3 {

// Rows version 3 adds to version 2's table; the indices are the protocol.
constexpr uint8_t kFlownProjectile = 19; // "NewProjectile" + double dx, double dy, int first tick
constexpr uint8_t kState = 20;           // the motion state (StateWriter)
constexpr uint8_t kFlownDelete = 21;     // "ProjDelete" + int last tick
constexpr uint8_t kStateAck = 38;        // client to server: varint state number

// A projectile steps by adding its step to each coordinate in double and keeping the
// nearest float: what the server does each tick, and what a client repeats.
inline float Step(float at, double step) { return static_cast<float>(at + step); }

// A message to all or to one client in version 3's layout, appended to out; false
// when version 3 does not carry it ("ProjMove", which clients fly themselves).
bool Encode(const MessageWriter& message, Bytes& out);

// A version 3 message from the server as version 1 (appended to out), with the flight
// note of a flown projectile's row. A state or an acknowledgement gives nothing.
void Decode(std::span<const uint8_t> message, Bytes& out, std::optional<FlightNote>& note);

// One player's motion in a state: its position, its facing, or both.
struct Pose {
    int32_t id = 0;
    bool hasPosition = false;
    bool hasFacing = false;
    float x = 0;
    float y = 0;
    float facing = 0; // degrees, as "Rotated" carries it
    bool operator==(const Pose&) const = default;
};

// A state message: its number, the last movement tick the server took, then poses
// to the message's end. Each pose is a varint id, a flags byte (1 position, 2 facing,
// 4 the position as two zigzag ints because both are whole numbers), then the
// position (two ints or two floats) and the facing (a float) as the flags say.
class StateWriter {
public:
    StateWriter(uint32_t number, int32_t tick);
    void add(const Pose& pose);
    // What add would append for this pose.
    static size_t sizeOf(const Pose& pose);
    const Bytes& bytes() const { return bytes_; }
    size_t size() const { return bytes_.size(); }

private:
    Bytes bytes_;
};

struct State {
    uint32_t number = 0;
    int32_t tick = 0;
    std::vector<Pose> poses;
    // False when a pose was cut short or had flags this reader does not know: the poses
    // before it are whole, the rest was not read.
    bool whole = true;
};

// nullopt when the message is no state or its number or tick is cut short.
std::optional<State> ReadState(std::span<const uint8_t> message);

Bytes StateAck(uint32_t number);
// nullopt when the message is no acknowledgement or its number is cut short.
std::optional<uint32_t> ReadStateAck(std::span<const uint8_t> message);

// Whether one state number is newer than another, across the wrap of 32 bits.
inline bool Newer(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) > 0; }

// A client's side of version 3: what it is sent, rebuilt into the version 1 messages a
// version 1 client would read, so that one reader serves every version. Other players'
// motion comes out of states as "Moved" and "Rotated"; each projectile is flown, tick by
// tick, as far as the newest tick the server has said it took, and each step comes out
// as the "ProjMove" the server would have sent.
class Follower {
public:
    // A message of the reliable stream; the version 1 messages it stands for are appended.
    void message(std::span<const uint8_t> message, std::vector<Bytes>& out);
    // A state. A late or repeated one (not newer than the newest taken) is ignored. The
    // poses of players this client knows are applied, the rest ignored. Returns the
    // number to acknowledge: that of a state read whole that named only known players.
    std::optional<uint32_t> state(const State& state, std::vector<Bytes>& out);

private:
    struct Flown {
        int32_t id;
        float x;
        float y;
        double dx;
        double dy;
        int32_t next; // the tick of its next step
    };
    void flyAll(int32_t through, std::vector<Bytes>& out);
    static void fly(Flown& flown, std::vector<Bytes>& out);

    std::vector<int32_t> players_; // known ids, sorted
    std::vector<Flown> flown_;     // in the order they were announced
    std::optional<uint32_t> newest_;
    std::optional<int32_t> tick_;
};

} // namespace skirmish::v3

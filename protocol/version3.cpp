#include "protocol/version3.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "protocol/compact.h"
#include "protocol/names.h"

namespace skirmish::v3 {
namespace {

constexpr uint8_t kHasPosition = 1;
constexpr uint8_t kHasFacing = 2;
constexpr uint8_t kWholePosition = 4;

void PutInt(Bytes& out, int32_t value) { compact::PutVarint(out, compact::ZigZag(value)); }

template <typename T> void PutBits(Bytes& out, T value)
{
    auto bits = std::bit_cast<std::conditional_t<sizeof(T) == 8, uint64_t, uint32_t>>(value);
    for (size_t byte = 0; byte < sizeof(T); ++byte)
        out.push_back(static_cast<uint8_t>(bits >> (8 * byte)));
}

// Reads of a version 3 message: each gives nothing once the message runs short.
struct Cursor {
    std::span<const uint8_t> bytes;
    size_t pos = 0;

    std::optional<uint32_t> varint() { return compact::GetVarint(bytes, pos); }
    std::optional<int32_t> integer()
    {
        auto value = varint();
        return value ? std::optional(compact::UnZigZag(*value)) : std::nullopt;
    }
    template <typename T> std::optional<T> bits()
    {
        if (bytes.size() - pos < sizeof(T))
            return std::nullopt;
        std::conditional_t<sizeof(T) == 8, uint64_t, uint32_t> value = 0;
        for (size_t byte = 0; byte < sizeof(T); ++byte)
            value |= static_cast<decltype(value)>(bytes[pos + byte]) << (8 * byte);
        pos += sizeof(T);
        return std::bit_cast<T>(value);
    }
    std::optional<uint8_t> byte() { return pos < bytes.size() ? std::optional(bytes[pos++]) : std::nullopt; }
};

// A float that is a whole number in int32's range (and not -0) travels as an int: the
// positions the server tells are whole, and two short varints beat eight bytes.
bool Whole(float value)
{
    return std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 2147483648.0f &&
           !(value == 0 && std::signbit(value));
}

size_t IntBytes(int32_t value)
{
    uint32_t zigzag = compact::ZigZag(value);
    size_t count = 1;
    while (zigzag >= 0x80) {
        zigzag >>= 7;
        ++count;
    }
    return count;
}

} // namespace

bool Encode(const MessageWriter& message, Bytes& out)
{
    const Bytes& v1 = message.bytes();
    if (const auto& note = message.flight()) {
        MessageReader fields(v1);
        std::string name = fields.getString();
        if (name == names::kNewProjectile && note->hasStep) {
            out.push_back(kFlownProjectile);
            PutInt(out, fields.getInt());
            for (int i = 0; i < 3; ++i)
                PutBits(out, fields.getFloat());
            PutBits(out, note->dx);
            PutBits(out, note->dy);
            PutInt(out, note->tick);
            return true;
        }
        if (name == names::kProjDelete) {
            out.push_back(kFlownDelete);
            PutInt(out, fields.getInt());
            PutInt(out, note->tick);
            return true;
        }
    }
    if (IsNamed(v1, names::kProjMove))
        return false;
    compact::Encode(v1, out);
    return true;
}

void Decode(std::span<const uint8_t> message, Bytes& out, std::optional<FlightNote>& note)
{
    note.reset();
    if (message.empty())
        return;
    Cursor in{message, 1};
    if (message[0] == kFlownProjectile) {
        MessageWriter v1;
        v1.putString(names::kNewProjectile).putInt(in.integer().value_or(0));
        for (int i = 0; i < 3; ++i)
            v1.putFloat(in.bits<float>().value_or(0.0f));
        FlightNote flight{0, true, in.bits<double>().value_or(0.0), in.bits<double>().value_or(0.0)};
        flight.tick = in.integer().value_or(0);
        note = flight;
        out.insert(out.end(), v1.bytes().begin(), v1.bytes().end());
        return;
    }
    if (message[0] == kFlownDelete) {
        MessageWriter v1;
        v1.putString(names::kProjDelete).putInt(in.integer().value_or(0));
        note = FlightNote{in.integer().value_or(0)};
        out.insert(out.end(), v1.bytes().begin(), v1.bytes().end());
        return;
    }
    if (message[0] == kState || message[0] == kStateAck)
        return;
    compact::Decode(message, out);
}

StateWriter::StateWriter(uint32_t number, int32_t tick)
{
    bytes_.push_back(kState);
    compact::PutVarint(bytes_, number);
    PutInt(bytes_, tick);
}

size_t StateWriter::sizeOf(const Pose& pose)
{
    size_t size = IntBytes(pose.id) + 1 + (pose.hasFacing ? 4 : 0);
    if (pose.hasPosition)
        size += Whole(pose.x) && Whole(pose.y)
                    ? IntBytes(static_cast<int32_t>(pose.x)) + IntBytes(static_cast<int32_t>(pose.y))
                    : 8;
    return size;
}

void StateWriter::add(const Pose& pose)
{
    compact::PutVarint(bytes_, static_cast<uint32_t>(pose.id));
    const bool whole = pose.hasPosition && Whole(pose.x) && Whole(pose.y);
    bytes_.push_back(static_cast<uint8_t>((pose.hasPosition ? kHasPosition : 0) | (pose.hasFacing ? kHasFacing : 0) |
                                          (whole ? kWholePosition : 0)));
    if (whole) {
        PutInt(bytes_, static_cast<int32_t>(pose.x));
        PutInt(bytes_, static_cast<int32_t>(pose.y));
    } else if (pose.hasPosition) {
        PutBits(bytes_, pose.x);
        PutBits(bytes_, pose.y);
    }
    if (pose.hasFacing)
        PutBits(bytes_, pose.facing);
}

std::optional<State> ReadState(std::span<const uint8_t> message)
{
    if (message.empty() || message[0] != kState)
        return std::nullopt;
    Cursor in{message, 1};
    auto number = in.varint();
    auto tick = in.integer();
    if (!number || !tick)
        return std::nullopt;
    State state{*number, *tick, {}, true};
    while (in.pos < message.size()) {
        Pose pose;
        auto id = in.varint();
        auto flags = in.byte();
        if (!id || !flags || (*flags & ~(kHasPosition | kHasFacing | kWholePosition)) != 0 ||
            ((*flags & kWholePosition) && !(*flags & kHasPosition))) {
            state.whole = false;
            break;
        }
        pose.id = static_cast<int32_t>(*id);
        pose.hasPosition = *flags & kHasPosition;
        pose.hasFacing = *flags & kHasFacing;
        std::optional<float> x, y, facing = 0.0f;
        if (*flags & kWholePosition) {
            auto wholeX = in.integer();
            auto wholeY = in.integer();
            if (wholeX && wholeY) {
                x = static_cast<float>(*wholeX);
                y = static_cast<float>(*wholeY);
            }
        } else if (pose.hasPosition) {
            x = in.bits<float>();
            y = in.bits<float>();
        } else {
            x = y = 0.0f;
        }
        if (pose.hasFacing)
            facing = in.bits<float>();
        if (!x || !y || !facing) {
            state.whole = false;
            break;
        }
        pose.x = *x;
        pose.y = *y;
        pose.facing = *facing;
        state.poses.push_back(pose);
    }
    return state;
}

Bytes StateAck(uint32_t number)
{
    Bytes out{kStateAck};
    compact::PutVarint(out, number);
    return out;
}

std::optional<uint32_t> ReadStateAck(std::span<const uint8_t> message)
{
    if (message.empty() || message[0] != kStateAck)
        return std::nullopt;
    Cursor in{message, 1};
    return in.varint();
}

} // namespace skirmish::v3

namespace skirmish::v3 {
namespace {

// A projectile so far behind the ticks is long expired: it is not flown that far.
constexpr int32_t kMostTicksBehind = 1 << 16;

int32_t TicksFrom(int32_t from, int32_t to)
{
    return static_cast<int32_t>(static_cast<uint32_t>(to) - static_cast<uint32_t>(from));
}

void Emit(std::vector<Bytes>& out, const MessageWriter& message) { out.push_back(message.bytes()); }

int32_t IdOf(std::span<const uint8_t> v1)
{
    MessageReader fields(v1);
    fields.getString();
    return fields.getInt();
}

} // namespace

void Follower::fly(Flown& flown, std::vector<Bytes>& out)
{
    flown.x = Step(flown.x, flown.dx);
    flown.y = Step(flown.y, flown.dy);
    flown.next = static_cast<int32_t>(static_cast<uint32_t>(flown.next) + 1);
    MessageWriter step;
    step.putString(names::kProjMove).putInt(flown.id).putFloat(flown.x).putFloat(flown.y);
    Emit(out, step);
}

// Tick by tick, every projectile due at that tick in the order they were announced:
// the order the server steps them in.
void Follower::flyAll(int32_t through, std::vector<Bytes>& out)
{
    std::erase_if(flown_, [&](const Flown& flown) { return TicksFrom(flown.next, through) > kMostTicksBehind; });
    for (;;) {
        std::optional<int32_t> due;
        for (const Flown& flown : flown_)
            if (TicksFrom(flown.next, through) >= 0 && (!due || TicksFrom(flown.next, *due) > 0))
                due = flown.next;
        if (!due)
            return;
        for (Flown& flown : flown_)
            if (flown.next == *due)
                fly(flown, out);
    }
}

void Follower::message(std::span<const uint8_t> message, std::vector<Bytes>& out)
{
    Bytes v1;
    std::optional<FlightNote> note;
    Decode(message, v1, note);
    if (v1.empty())
        return;
    const int32_t id = IdOf(v1);
    if (note && note->hasStep) {
        MessageReader fields(v1);
        fields.getString();
        fields.getInt();
        Flown flown{id, fields.getFloat(), fields.getFloat(), note->dx, note->dy, note->tick};
        std::erase_if(flown_, [&](const Flown& old) { return old.id == id; });
        out.push_back(std::move(v1));
        flown_.push_back(flown);
        // A state may have told of ticks past its first step already.
        if (tick_ && TicksFrom(flown.next, *tick_) >= 0 && TicksFrom(flown.next, *tick_) <= kMostTicksBehind)
            while (TicksFrom(flown_.back().next, *tick_) >= 0)
                fly(flown_.back(), out);
        return;
    }
    if (note) {
        // Removed after its step of that tick: flown that far first, as the server did.
        auto flown = std::find_if(flown_.begin(), flown_.end(), [&](const Flown& f) { return f.id == id; });
        if (flown != flown_.end()) {
            if (TicksFrom(flown->next, note->tick) <= kMostTicksBehind)
                while (TicksFrom(flown->next, note->tick) >= 0)
                    fly(*flown, out);
            flown_.erase(flown);
        }
        out.push_back(std::move(v1));
        return;
    }
    auto known = std::lower_bound(players_.begin(), players_.end(), id);
    const bool isKnown = known != players_.end() && *known == id;
    if ((IsNamed(v1, names::kJoined) || IsNamed(v1, names::kPlayer)) && !isKnown)
        players_.insert(known, id);
    else if (IsNamed(v1, names::kLeft) && isKnown)
        players_.erase(known);
    out.push_back(std::move(v1));
}

std::optional<uint32_t> Follower::state(const State& state, std::vector<Bytes>& out)
{
    if (newest_ && !Newer(state.number, *newest_))
        return std::nullopt;
    newest_ = state.number;
    bool allKnown = true;
    for (const Pose& pose : state.poses) {
        if (!std::binary_search(players_.begin(), players_.end(), pose.id)) {
            allKnown = false;
            continue;
        }
        if (pose.hasPosition) {
            MessageWriter moved;
            moved.putString(names::kMoved).putInt(pose.id).putFloat(pose.x).putFloat(pose.y);
            Emit(out, moved);
        }
        if (pose.hasFacing) {
            MessageWriter rotated;
            rotated.putString(names::kRotated).putInt(pose.id).putFloat(pose.facing);
            Emit(out, rotated);
        }
    }
    if (!tick_ || TicksFrom(*tick_, state.tick) > 0)
        tick_ = state.tick;
    flyAll(*tick_, out);
    return state.whole && allKnown ? std::optional(state.number) : std::nullopt;
}

} // namespace skirmish::v3

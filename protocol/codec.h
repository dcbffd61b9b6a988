#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace skirmish {

// Wire encoding of one message: fields back to back, each a type tag and a
// little-endian value. Packets carry messages, each behind a 16-bit length.
enum class FieldType : uint8_t { Text = 0x01, Int = 0x02, Float = 0x03, Byte = 0x04 };

// The encoding's version, as recordings name it; it changes when a message's fields do.
constexpr uint16_t kProtocolVersion = 1;

// How a connection's messages are laid out on the wire: the client asks, the server
// never imposes. Version 1 is the tagged layout above; version 2 is compact.h's;
// version 3 is version 2 with other players' motion as state and projectiles the client
// flies (motion_state.h).
enum class WireVersion : uint8_t { V1 = 1, V2 = 2, V3 = 3 };

constexpr size_t kMaxMessageBytes = 0xFFFF;
// Messages for one receiver are packed into packets of about this size.
constexpr size_t kPackingLimit = 1200;

using Bytes = std::vector<uint8_t>;

// What version 3 adds to a projectile's message so that a client flies it itself:
// the movement tick the message speaks of (a new projectile's first step, a removed
// one's last) and, for a new one, what each step adds to x and to y.
struct FlightNote {
    int32_t tick = 0;
    bool hasStep = false;
    double dx = 0;
    double dy = 0;
};

// Builds one message. A field that would take the message past kMaxMessageBytes
// is not added and marks the message as overflowed; senders drop such messages.
class MessageWriter {
public:
    MessageWriter& putString(std::string_view text);
    MessageWriter& putInt(int32_t value);
    MessageWriter& putFloat(float value);
    MessageWriter& putByte(uint8_t value);

    // The version 1 message; a flight note travels only in version 3's layout.
    const Bytes& bytes() const { return bytes_; }
    MessageWriter& withFlight(const FlightNote& note)
    {
        flight_ = note;
        return *this;
    }
    const std::optional<FlightNote>& flight() const { return flight_; }
    bool overflowed() const { return overflowed_; }
    void clear();

private:
    bool reserve(size_t fieldBytes);

    Bytes bytes_;
    std::optional<FlightNote> flight_;
    bool overflowed_ = false;
};

// Reads one message field by field. Every read checks before it touches a byte:
// a field of another type gives the zero value and is consumed; past the end, at
// a truncated field or an unknown tag, this and every later read give zero.
class MessageReader {
public:
    MessageReader() = default;
    explicit MessageReader(std::span<const uint8_t> message) : pos_(message.data()), end_(message.data() + message.size()) {}

    // A text field as the bytes it carried (any byte, NUL included), cut to maxBytes;
    // the rest of the field is skipped.
    std::string getString(size_t maxBytes = kMaxMessageBytes);
    int32_t getInt();
    float getFloat();
    uint8_t getByte();

    bool failed() const { return failed_; }
    bool atEnd() const { return failed_ || pos_ == end_; }
    // The type of the next field, if there is a whole one.
    bool peekType(FieldType& type) const;

private:
    // Checks the next field and returns its value bytes when it is of the wanted type.
    // A mismatched field is consumed; a broken one sets the sticky error.
    const uint8_t* take(FieldType wanted, size_t& valueBytes);

    const uint8_t* pos_ = nullptr;
    const uint8_t* end_ = nullptr;
    bool failed_ = false;
};

// Whether a version 1 message's first field is this name, compared in place.
bool IsNamed(std::span<const uint8_t> message, std::string_view name);

// Calls visit for every message in a packet, in order. A length that runs past
// the packet's end makes that message end at the packet's end; nothing after it is read.
void ForEachMessage(std::span<const uint8_t> packet, const std::function<void(std::span<const uint8_t>)>& visit);
// The message of packet that starts at pos, and pos moved past it; nullopt once
// no whole length is left. The same split as ForEachMessage, one message at a time.
std::optional<std::span<const uint8_t>> NextMessage(std::span<const uint8_t> packet, size_t& pos);
// The same in either version's framing. Version 2's lengths are varints (compact.h):
// one longer than three bytes ends the packet there; one past the end takes the rest.
std::optional<std::span<const uint8_t>> NextMessage(std::span<const uint8_t> packet, size_t& pos,
                                                    WireVersion version);

// Packs messages for one receiver into packets of at most limit bytes (kPackingLimit
// unless told), framed as the version says; a message too long for that travels alone.
class PacketPacker {
public:
    PacketPacker() = default;
    explicit PacketPacker(size_t limit, WireVersion version = WireVersion::V1) : limit_(limit), version_(version) {}
    // Appends a message; returns a packet that is full and ready to go, or an empty one.
    void add(std::span<const uint8_t> message, const std::function<void(Bytes&&)>& sendFull);
    // Hands over what is waiting, if anything.
    void flush(const std::function<void(Bytes&&)>& send);
    void clear() { pending_.clear(); }
    bool empty() const { return pending_.empty(); }

private:
    Bytes pending_;
    size_t limit_ = kPackingLimit;
    WireVersion version_ = WireVersion::V1;
};

// A message decoded whole, for tests, tools and clients that keep messages around.
struct Field {
    FieldType type = FieldType::Int;
    std::string text;
    int32_t intValue = 0;
    float floatValue = 0;
    uint8_t byteValue = 0;
};

struct DecodedMessage {
    std::vector<Field> fields;
    bool malformed = false; // a truncated field or an unknown tag ended it early

    // The first field's text, or empty when the first field is not text.
    std::string name() const;
    // Fields as text: texts bare (empty as ""), ints as 1, floats as 27f, bytes as b1.
    std::string describe() const;
};

DecodedMessage DecodeMessage(std::span<const uint8_t> message);

} // namespace skirmish

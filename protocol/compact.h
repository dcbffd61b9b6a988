#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "protocol/codec.h"

namespace skirmish {

// Version 2 of the wire layout names a message by a one-byte index into a table that
// fixes its fields, so no field carries a tag: ints are zigzag varints, floats the same
// four little-endian bytes, bytes one byte, texts a varint length and every byte.
// Packets frame messages behind varint lengths. The game reads and writes version 1
// only; the network layer translates at its edge, once per message and version.
namespace compact {

// One row of the table: a message's index, its name ("" for the nameless room
// record) and the types of the fields after the name.
struct Layout {
    uint8_t index = 0;
    std::string_view name;
    std::array<FieldType, 6> fields{};
    uint8_t fieldCount = 0;
    bool toServer = false; // a command; otherwise a message the server sends
};

// Index 0 carries a version 1 message as it is: anything the table has no row for.
constexpr uint8_t kVerbatim = 0;

std::span<const Layout> Table();
const Layout* LayoutOf(uint8_t index);

// A version 1 message in version 2's layout (appended to out): the row whose name and
// field types match it exactly, or the verbatim index followed by the message.
void Encode(std::span<const uint8_t> message, Bytes& out);
Bytes Encode(std::span<const uint8_t> message);

// A version 2 message as version 1 (appended to out), so one reader serves both.
// Its fields are read in the row's order up to the first one that is missing or
// broken, which with everything after it is left out (a reader then sees zero values,
// as at the end of any message); bytes after the last field are ignored. An index
// with no row gives an empty message, one the server handles as an unknown name.
void Decode(std::span<const uint8_t> message, Bytes& out);
Bytes Decode(std::span<const uint8_t> message);
// The same for a client's message, where a row the server sends is no command: it
// gives an empty message, like an index with no row.
void DecodeCommand(std::span<const uint8_t> message, Bytes& out);

// Ints travel zigzagged, so that small negative numbers stay short: 0, -1, 1, -2 ... as 0, 1, 2, 3 ...
uint32_t ZigZag(int32_t value);
int32_t UnZigZag(uint32_t value);

// Unsigned LEB128: seven bits a byte, low first, the top bit saying more follow.
void PutVarint(Bytes& out, uint32_t value);
// Reads at most maxBytes bytes; nullopt when it is cut short or runs longer.
std::optional<uint32_t> GetVarint(std::span<const uint8_t> bytes, size_t& pos, size_t maxBytes = 5);

// The longest message version 2 frames: a verbatim one is a byte longer than its original.
constexpr size_t kMaxMessageBytes = skirmish::kMaxMessageBytes + 1;

} // namespace compact

} // namespace skirmish

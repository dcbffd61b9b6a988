#include "protocol/compact.h"

#include <algorithm>
#include <cstring>

#include "protocol/names.h"

namespace skirmish::compact {
namespace {

constexpr FieldType T = FieldType::Text;
constexpr FieldType I = FieldType::Int;
constexpr FieldType F = FieldType::Float;
constexpr FieldType B = FieldType::Byte;

constexpr Layout Row(uint8_t index, std::string_view name, std::initializer_list<FieldType> fields,
                     bool toServer = false)
{
    Layout layout{index, name, {}, static_cast<uint8_t>(fields.size()), toServer};
    std::copy(fields.begin(), fields.end(), layout.fields.begin());
    return layout;
}

// The indices are the protocol: a row may be added, never renumbered.
constexpr std::array kTable = {
    Row(1, names::kGreeting, {}),
    Row(2, names::kLeft, {I}),
    Row(3, names::kServerQuit, {}),
    Row(4, names::kMoved, {I, F, F}),
    Row(5, names::kRotated, {I, F}),
    Row(6, names::kPlayerMessage, {I, T}),
    Row(7, names::kAlive, {I}),
    Row(8, names::kJoined, {I, T}),
    Row(9, names::kNewProjectile, {I, F, F, F}),
    Row(10, names::kProjMove, {I, F, F}),
    Row(11, names::kProjDelete, {I}),
    Row(12, names::kDead, {I, I}),
    Row(13, names::kHealth, {I}),
    Row(14, names::kLevelInfo, {I, I, I, I}),
    Row(15, "", {I, I, I, I}), // the room record, which has no name
    Row(16, names::kPlayer, {I, T, F, F, B, I}),
    Row(17, names::kPlayersDone, {}),
    Row(18, names::kProjDone, {}),
    Row(32, names::kMove, {F, F}, true),
    Row(33, names::kRotate, {F}, true),
    Row(34, names::kPlayerMessage, {T}, true),
    Row(35, names::kRespawn, {I, I}, true),
    Row(36, names::kName, {T}, true),
    Row(37, names::kFire, {}, true),
};

// Index to row, built once: the table's indices are small.
struct Index {
    std::array<const Layout*, 256> rows{};
    Index()
    {
        for (const Layout& layout : kTable)
            rows[layout.index] = &layout;
    }
};
const Index kIndex;


// One field of a version 1 message, its value bytes as they stand.
struct RawField {
    FieldType type;
    std::span<const uint8_t> value;
};

// The fields of a whole, well-formed version 1 message with at most fields.size() of
// them; nothing when it is anything else.
std::optional<size_t> SplitFields(std::span<const uint8_t> message, std::span<RawField> fields)
{
    size_t count = 0;
    for (size_t pos = 0; pos < message.size();) {
        if (count == fields.size())
            return std::nullopt;
        auto type = static_cast<FieldType>(message[pos++]);
        size_t length = 0;
        switch (type) {
        case FieldType::Text:
            if (message.size() - pos < 2)
                return std::nullopt;
            length = message[pos] | (message[pos + 1] << 8);
            pos += 2;
            break;
        case FieldType::Int:
        case FieldType::Float:
            length = 4;
            break;
        case FieldType::Byte:
            length = 1;
            break;
        default:
            return std::nullopt;
        }
        if (message.size() - pos < length)
            return std::nullopt;
        fields[count++] = {type, message.subspan(pos, length)};
        pos += length;
    }
    return count;
}

bool Matches(const Layout& layout, std::span<const RawField> fields)
{
    // A named row's first field is its name as text; the room record's are all values.
    const bool named = !layout.name.empty();
    if (fields.size() != layout.fieldCount + (named ? 1u : 0u))
        return false;
    if (named) {
        if (fields[0].type != FieldType::Text || fields[0].value.size() != layout.name.size() ||
            std::memcmp(fields[0].value.data(), layout.name.data(), layout.name.size()) != 0)
            return false;
        fields = fields.subspan(1);
    }
    for (size_t i = 0; i < fields.size(); ++i)
        if (fields[i].type != layout.fields[i])
            return false;
    return true;
}

uint32_t Le32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

void PutLe32(Bytes& out, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

void PutText(Bytes& out, std::span<const uint8_t> text)
{
    out.push_back(static_cast<uint8_t>(FieldType::Text));
    out.push_back(static_cast<uint8_t>(text.size()));
    out.push_back(static_cast<uint8_t>(text.size() >> 8));
    out.insert(out.end(), text.begin(), text.end());
}

// Appends one version 2 field as version 1 to the message that starts at out[start];
// false when it is missing or broken.
bool DecodeField(FieldType type, std::span<const uint8_t> message, size_t& pos, Bytes& out, size_t start)
{
    switch (type) {
    case FieldType::Text: {
        auto length = GetVarint(message, pos);
        if (!length || message.size() - pos < *length)
            return false;
        // Version 1 caps a message at 64 KiB: a text that would take it past is cut
        // there (the server reads 255 bytes of any text).
        size_t room = skirmish::kMaxMessageBytes - std::min(out.size() - start + 3, skirmish::kMaxMessageBytes);
        PutText(out, message.subspan(pos, std::min<size_t>(*length, room)));
        pos += *length;
        return true;
    }
    case FieldType::Int: {
        auto value = GetVarint(message, pos);
        if (!value)
            return false;
        out.push_back(static_cast<uint8_t>(FieldType::Int));
        PutLe32(out, static_cast<uint32_t>(UnZigZag(*value)));
        return true;
    }
    case FieldType::Float:
    case FieldType::Byte: {
        size_t length = type == FieldType::Float ? 4 : 1;
        if (message.size() - pos < length)
            return false;
        out.push_back(static_cast<uint8_t>(type));
        out.insert(out.end(), message.begin() + static_cast<std::ptrdiff_t>(pos),
                   message.begin() + static_cast<std::ptrdiff_t>(pos + length));
        pos += length;
        return true;
    }
    }
    return false;
}

} // namespace

uint32_t ZigZag(int32_t value)
{
    return (static_cast<uint32_t>(value) << 1) ^ static_cast<uint32_t>(value >> 31);
}
int32_t UnZigZag(uint32_t value) { return static_cast<int32_t>((value >> 1) ^ (~(value & 1) + 1)); }

std::span<const Layout> Table() { return kTable; }
const Layout* LayoutOf(uint8_t index) { return kIndex.rows[index]; }

void PutVarint(Bytes& out, uint32_t value)
{
    while (value >= 0x80) {
        out.push_back(static_cast<uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<uint8_t>(value));
}

std::optional<uint32_t> GetVarint(std::span<const uint8_t> bytes, size_t& pos, size_t maxBytes)
{
    uint32_t value = 0;
    for (size_t i = 0; i < maxBytes && pos + i < bytes.size(); ++i) {
        uint8_t byte = bytes[pos + i];
        value |= static_cast<uint32_t>(byte & 0x7F) << (7 * i); // a fifth byte's top bits fall off
        if ((byte & 0x80) == 0) {
            pos += i + 1;
            return value;
        }
    }
    return std::nullopt;
}

void Encode(std::span<const uint8_t> message, Bytes& out)
{
    std::array<RawField, 8> storage;
    auto count = SplitFields(message, storage);
    const Layout* match = nullptr;
    if (count) {
        std::span<const RawField> fields(storage.data(), *count);
        auto row = std::find_if(kTable.begin(), kTable.end(), [&](const Layout& layout) { return Matches(layout, fields); });
        if (row != kTable.end())
            match = &*row;
    }
    if (!match) {
        out.push_back(kVerbatim);
        out.insert(out.end(), message.begin(), message.end());
        return;
    }
    out.push_back(match->index);
    for (size_t i = match->name.empty() ? 0 : 1; i < *count; ++i) {
        const RawField& field = storage[i];
        switch (field.type) {
        case FieldType::Text:
            PutVarint(out, static_cast<uint32_t>(field.value.size()));
            out.insert(out.end(), field.value.begin(), field.value.end());
            break;
        case FieldType::Int:
            PutVarint(out, ZigZag(static_cast<int32_t>(Le32(field.value.data()))));
            break;
        case FieldType::Float:
        case FieldType::Byte:
            out.insert(out.end(), field.value.begin(), field.value.end());
            break;
        }
    }
}

Bytes Encode(std::span<const uint8_t> message)
{
    Bytes out;
    out.reserve(message.size() + 1);
    Encode(message, out);
    return out;
}

void Decode(std::span<const uint8_t> message, Bytes& out)
{
    if (message.empty())
        return;
    if (message[0] == kVerbatim) {
        out.insert(out.end(), message.begin() + 1, message.end());
        return;
    }
    const Layout* layout = LayoutOf(message[0]);
    if (!layout)
        return;
    const size_t start = out.size();
    if (!layout->name.empty())
        PutText(out, std::span(reinterpret_cast<const uint8_t*>(layout->name.data()), layout->name.size()));
    size_t pos = 1;
    for (size_t i = 0; i < layout->fieldCount; ++i)
        if (!DecodeField(layout->fields[i], message, pos, out, start))
            return;
}

void DecodeCommand(std::span<const uint8_t> message, Bytes& out)
{
    if (!message.empty() && message[0] != kVerbatim && LayoutOf(message[0]) && !LayoutOf(message[0])->toServer)
        return;
    Decode(message, out);
}

Bytes Decode(std::span<const uint8_t> message)
{
    // Names and field tags make a message some three times its compact size: one
    // allocation, not a growth by doubling (a client reads every message through here).
    Bytes out;
    out.reserve(4 * message.size() + 32);
    Decode(message, out);
    return out;
}

} // namespace skirmish::compact

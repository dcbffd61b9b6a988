#include "protocol/codec.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>

#include "protocol/compact.h"

namespace skirmish {
namespace {

void PutLe16(Bytes& out, uint16_t value)
{
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void PutLe32(Bytes& out, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

uint16_t GetLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t GetLe32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

} // namespace

bool MessageWriter::reserve(size_t fieldBytes)
{
    if (overflowed_ || bytes_.size() + fieldBytes > kMaxMessageBytes) {
        overflowed_ = true;
        return false;
    }
    return true;
}

MessageWriter& MessageWriter::putString(std::string_view text)
{
    if (reserve(3 + text.size())) {
        bytes_.push_back(static_cast<uint8_t>(FieldType::Text));
        PutLe16(bytes_, static_cast<uint16_t>(text.size()));
        bytes_.insert(bytes_.end(), text.begin(), text.end());
    }
    return *this;
}

MessageWriter& MessageWriter::putInt(int32_t value)
{
    if (reserve(5)) {
        bytes_.push_back(static_cast<uint8_t>(FieldType::Int));
        PutLe32(bytes_, static_cast<uint32_t>(value));
    }
    return *this;
}

MessageWriter& MessageWriter::putFloat(float value)
{
    if (reserve(5)) {
        bytes_.push_back(static_cast<uint8_t>(FieldType::Float));
        PutLe32(bytes_, std::bit_cast<uint32_t>(value));
    }
    return *this;
}

MessageWriter& MessageWriter::putByte(uint8_t value)
{
    if (reserve(2)) {
        bytes_.push_back(static_cast<uint8_t>(FieldType::Byte));
        bytes_.push_back(value);
    }
    return *this;
}

void MessageWriter::clear()
{
    bytes_.clear();
    flight_.reset();
    overflowed_ = false;
}

bool MessageReader::peekType(FieldType& type) const
{
    if (failed_ || pos_ == end_)
        return false;
    type = static_cast<FieldType>(*pos_);
    return true;
}

const uint8_t* MessageReader::take(FieldType wanted, size_t& valueBytes)
{
    if (failed_ || pos_ == end_) {
        failed_ = true;
        return nullptr;
    }
    size_t available = static_cast<size_t>(end_ - pos_) - 1;
    const uint8_t* value = pos_ + 1;
    auto type = static_cast<FieldType>(*pos_);
    switch (type) {
    case FieldType::Text:
        if (available < 2) {
            failed_ = true;
            return nullptr;
        }
        valueBytes = GetLe16(value);
        if (available - 2 < valueBytes) {
            failed_ = true;
            return nullptr;
        }
        pos_ = value + 2 + valueBytes;
        return type == wanted ? value + 2 : nullptr;
    case FieldType::Int:
    case FieldType::Float:
        valueBytes = 4;
        break;
    case FieldType::Byte:
        valueBytes = 1;
        break;
    default:
        failed_ = true;
        return nullptr;
    }
    if (available < valueBytes) {
        failed_ = true;
        return nullptr;
    }
    pos_ = value + valueBytes;
    return type == wanted ? value : nullptr;
}

std::string MessageReader::getString(size_t maxBytes)
{
    size_t length = 0;
    const uint8_t* text = take(FieldType::Text, length);
    if (!text)
        return {};
    return std::string(reinterpret_cast<const char*>(text), std::min(length, maxBytes));
}

int32_t MessageReader::getInt()
{
    size_t length = 0;
    const uint8_t* value = take(FieldType::Int, length);
    return value ? static_cast<int32_t>(GetLe32(value)) : 0;
}

float MessageReader::getFloat()
{
    size_t length = 0;
    const uint8_t* value = take(FieldType::Float, length);
    return value ? std::bit_cast<float>(GetLe32(value)) : 0.0f;
}

uint8_t MessageReader::getByte()
{
    size_t length = 0;
    const uint8_t* value = take(FieldType::Byte, length);
    return value ? *value : 0;
}

std::optional<std::span<const uint8_t>> NextMessage(std::span<const uint8_t> packet, size_t& pos)
{
    if (pos > packet.size() || packet.size() - pos < 2)
        return std::nullopt;
    size_t length = GetLe16(packet.data() + pos);
    pos += 2;
    // A length past the end takes what is left: the message is read as far as it goes.
    length = std::min(length, packet.size() - pos);
    auto message = packet.subspan(pos, length);
    pos += length;
    return message;
}

std::optional<std::span<const uint8_t>> NextMessage(std::span<const uint8_t> packet, size_t& pos,
                                                    WireVersion version)
{
    if (version == WireVersion::V1)
        return NextMessage(packet, pos);
    if (pos >= packet.size())
        return std::nullopt;
    auto length = compact::GetVarint(packet, pos, 3);
    if (!length) {
        pos = packet.size();
        return std::nullopt;
    }
    size_t taken = std::min<size_t>(*length, packet.size() - pos);
    auto message = packet.subspan(pos, taken);
    pos += taken;
    return message;
}

bool IsNamed(std::span<const uint8_t> message, std::string_view name)
{
    return message.size() >= 3 + name.size() && message[0] == static_cast<uint8_t>(FieldType::Text) &&
           GetLe16(message.data() + 1) == name.size() &&
           std::memcmp(message.data() + 3, name.data(), name.size()) == 0;
}

void ForEachMessage(std::span<const uint8_t> packet, const std::function<void(std::span<const uint8_t>)>& visit)
{
    size_t pos = 0;
    while (auto message = NextMessage(packet, pos))
        visit(*message);
}

void PacketPacker::add(std::span<const uint8_t> message, const std::function<void(Bytes&&)>& sendFull)
{
    const bool v1 = version_ == WireVersion::V1;
    size_t length = std::min(message.size(), v1 ? kMaxMessageBytes : compact::kMaxMessageBytes);
    size_t lengthBytes = v1 ? 2 : (length < 0x80 ? 1 : length < 0x4000 ? 2 : 3);
    if (!pending_.empty() && pending_.size() + lengthBytes + length > limit_) {
        sendFull(std::move(pending_));
        pending_.clear();
    }
    // A packet handed on takes its buffer with it: the next one starts at its full size
    // rather than growing by doubling, a reallocation at each step, every client every pass.
    if (pending_.capacity() == 0)
        pending_.reserve(std::min(limit_, kPackingLimit) + lengthBytes + length);
    if (v1)
        PutLe16(pending_, static_cast<uint16_t>(length));
    else
        compact::PutVarint(pending_, static_cast<uint32_t>(length));
    pending_.insert(pending_.end(), message.begin(), message.begin() + static_cast<std::ptrdiff_t>(length));
    if (pending_.size() >= limit_) {
        sendFull(std::move(pending_));
        pending_.clear();
    }
}

void PacketPacker::flush(const std::function<void(Bytes&&)>& send)
{
    if (pending_.empty())
        return;
    send(std::move(pending_));
    pending_.clear();
}

DecodedMessage DecodeMessage(std::span<const uint8_t> message)
{
    DecodedMessage decoded;
    MessageReader reader(message);
    FieldType type;
    while (reader.peekType(type)) {
        Field field;
        field.type = type;
        switch (type) {
        case FieldType::Text:
            field.text = reader.getString();
            break;
        case FieldType::Int:
            field.intValue = reader.getInt();
            break;
        case FieldType::Float:
            field.floatValue = reader.getFloat();
            break;
        case FieldType::Byte:
            field.byteValue = reader.getByte();
            break;
        default:
            reader.getByte(); // an unknown tag: the reader fails here
            break;
        }
        if (reader.failed()) {
            decoded.malformed = true;
            break;
        }
        decoded.fields.push_back(std::move(field));
    }
    return decoded;
}

std::string DecodedMessage::name() const
{
    if (fields.empty() || fields[0].type != FieldType::Text)
        return {};
    return fields[0].text;
}

std::string DecodedMessage::describe() const
{
    std::string out;
    for (const Field& field : fields) {
        if (!out.empty())
            out += ' ';
        switch (field.type) {
        case FieldType::Text:
            out += field.text.empty() ? std::string("\"\"") : field.text;
            break;
        case FieldType::Int:
            out += std::to_string(field.intValue);
            break;
        case FieldType::Float: {
            char buffer[32];
            auto result = std::to_chars(buffer, buffer + sizeof buffer, field.floatValue);
            out.append(buffer, result.ptr);
            out += 'f';
            break;
        }
        case FieldType::Byte:
            out += 'b' + std::to_string(field.byteValue);
            break;
        }
    }
    if (malformed)
        out += out.empty() ? "<malformed>" : " <malformed>";
    return out;
}

} // namespace skirmish

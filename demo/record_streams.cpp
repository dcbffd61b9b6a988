#include "demo/record_streams.h"

#include <bit>
#include <cmath>

namespace skirmish {
namespace {

constexpr size_t kMaxVarintBytes = 5;

// The bytes of a field's value after its tag at message[pos], counting a text's length;
// nothing for an unknown tag or a field that runs past the message's end. Both sides
// see the same tag and the same bytes left, so both make the same call.
std::optional<size_t> FieldValueBytes(uint8_t tag, std::span<const uint8_t> afterTag, size_t left)
{
    size_t bytes = 0;
    switch (static_cast<FieldType>(tag)) {
    case FieldType::Int:
    case FieldType::Float:
        bytes = 4;
        break;
    case FieldType::Byte:
        bytes = 1;
        break;
    case FieldType::Text:
        if (left < 2 || afterTag.size() < 2)
            return std::nullopt;
        bytes = 2 + (afterTag[0] | (afterTag[1] << 8));
        break;
    default:
        return std::nullopt;
    }
    return bytes <= left ? std::optional(bytes) : std::nullopt;
}

uint32_t ReadLe32(const uint8_t* bytes)
{
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

} // namespace

void PutVarint(Bytes& out, uint32_t value)
{
    for (; value >= 0x80; value >>= 7)
        out.push_back(static_cast<uint8_t>(value | 0x80));
    out.push_back(static_cast<uint8_t>(value));
}

std::optional<uint32_t> GetVarint(std::span<const uint8_t> in, size_t& pos)
{
    uint64_t value = 0;
    for (size_t i = 0; i < kMaxVarintBytes && pos < in.size(); ++i) {
        uint8_t byte = in[pos++];
        value |= static_cast<uint64_t>(byte & 0x7F) << (7 * i);
        if ((byte & 0x80) == 0)
            return value <= UINT32_MAX ? std::optional<uint32_t>(static_cast<uint32_t>(value)) : std::nullopt;
    }
    return std::nullopt;
}

// Straight on from the last two values, in float arithmetic; the last value itself
// where either is not finite or the sum would not be, so that no NaN's bits are ever
// computed (platforms and browsers differ in those).
uint32_t FloatPredictor::predict(const History& history)
{
    if (history.seen < 2)
        return history.last; // 0 for a field not seen yet
    float last = std::bit_cast<float>(history.last), before = std::bit_cast<float>(history.before);
    if (!std::isfinite(last) || !std::isfinite(before))
        return history.last;
    float step = last - before;
    float next = last + step;
    return std::isfinite(step) && std::isfinite(next) ? std::bit_cast<uint32_t>(next) : history.last;
}

void FloatPredictor::update(History& history, uint32_t bits)
{
    history.before = history.last;
    history.last = bits;
    history.seen = std::min(history.seen + 1, 2);
}

void FieldKeys::after(int index, uint8_t tag, std::span<const uint8_t> field)
{
    if ((index == 0 && tag == static_cast<uint8_t>(FieldType::Text)) ||
        (index == 1 && tag == static_cast<uint8_t>(FieldType::Int)))
        prefix_.append(field.begin(), field.end());
    if (index == 0)
        prefix_.push_back('\0');
}

const std::string& FieldKeys::of(int index)
{
    key_ = prefix_;
    key_.push_back(static_cast<char>(index));
    return key_;
}

void RecordStreamWriter::add(uint32_t delta, std::span<const uint8_t> message)
{
    PutVarint(shape_, delta);
    PutVarint(shape_, static_cast<uint32_t>(message.size()));
    FieldKeys& keys = keys_;
    keys.start();
    for (size_t pos = 0, index = 0; pos < message.size(); ++index) {
        const uint8_t tag = message[pos];
        auto value = FieldValueBytes(tag, message.subspan(pos + 1), message.size() - pos - 1);
        if (!value) {
            rest_.insert(rest_.end(), message.begin() + static_cast<ptrdiff_t>(pos), message.end());
            break;
        }
        std::span<const uint8_t> field = message.subspan(pos + 1, *value);
        rest_.push_back(tag);
        if (tag == static_cast<uint8_t>(FieldType::Float)) {
            FloatPredictor::History& history = predictor_.of(keys.of(static_cast<int>(index)));
            uint32_t bits = ReadLe32(field.data());
            uint32_t coded = bits ^ FloatPredictor::predict(history);
            for (int shift = 24; shift >= 0; shift -= 8) // high bytes first: mostly zeros, together
                floats_.push_back(static_cast<uint8_t>(coded >> shift));
            FloatPredictor::update(history, bits);
        } else {
            rest_.insert(rest_.end(), field.begin(), field.end());
        }
        keys.after(static_cast<int>(index), tag, field);
        pos += 1 + *value;
    }
}

Bytes RecordStreamWriter::finish() const
{
    Bytes payload;
    PutVarint(payload, static_cast<uint32_t>(shape_.size()));
    PutVarint(payload, static_cast<uint32_t>(floats_.size()));
    payload.insert(payload.end(), shape_.begin(), shape_.end());
    payload.insert(payload.end(), floats_.begin(), floats_.end());
    payload.insert(payload.end(), rest_.begin(), rest_.end());
    return payload;
}

std::optional<Bytes> JoinRecordStreams(std::span<const uint8_t> payload, uint32_t records)
{
    size_t pos = 0;
    auto shapeBytes = GetVarint(payload, pos);
    auto floatBytes = shapeBytes ? GetVarint(payload, pos) : std::nullopt;
    if (!floatBytes || *shapeBytes > payload.size() - pos || *floatBytes > payload.size() - pos - *shapeBytes)
        return std::nullopt;
    std::span<const uint8_t> shape = payload.subspan(pos, *shapeBytes);
    std::span<const uint8_t> floats = payload.subspan(pos + *shapeBytes, *floatBytes);
    std::span<const uint8_t> rest = payload.subspan(pos + *shapeBytes + *floatBytes);
    size_t shapeAt = 0, floatAt = 0, restAt = 0;
    FloatPredictor predictor;
    FieldKeys keys;
    Bytes joined;
    for (uint32_t record = 0; record < records; ++record) {
        auto delta = GetVarint(shape, shapeAt);
        auto length = delta ? GetVarint(shape, shapeAt) : std::nullopt;
        if (!length || *length > kMaxMessageBytes)
            return std::nullopt;
        PutVarint(joined, *delta);
        PutVarint(joined, *length);
        const size_t start = joined.size();
        keys.start();
        for (int index = 0; joined.size() - start < *length; ++index) {
            const size_t left = *length - (joined.size() - start);
            if (restAt >= rest.size())
                return std::nullopt;
            const uint8_t tag = rest[restAt];
            auto value = FieldValueBytes(tag, rest.subspan(restAt + 1), left - 1);
            if (!value) { // copied as it came
                if (left > rest.size() - restAt)
                    return std::nullopt;
                joined.insert(joined.end(), rest.begin() + static_cast<ptrdiff_t>(restAt),
                              rest.begin() + static_cast<ptrdiff_t>(restAt + left));
                restAt += left;
                break;
            }
            joined.push_back(tag);
            ++restAt;
            if (tag == static_cast<uint8_t>(FieldType::Float)) {
                if (floats.size() - floatAt < 4)
                    return std::nullopt;
                uint32_t coded = static_cast<uint32_t>(floats[floatAt]) << 24 |
                                 static_cast<uint32_t>(floats[floatAt + 1]) << 16 |
                                 static_cast<uint32_t>(floats[floatAt + 2]) << 8 | floats[floatAt + 3];
                floatAt += 4;
                FloatPredictor::History& history = predictor.of(keys.of(index));
                uint32_t bits = coded ^ FloatPredictor::predict(history);
                FloatPredictor::update(history, bits);
                for (int shift = 0; shift < 32; shift += 8)
                    joined.push_back(static_cast<uint8_t>(bits >> shift));
            } else {
                if (*value > rest.size() - restAt)
                    return std::nullopt;
                joined.insert(joined.end(), rest.begin() + static_cast<ptrdiff_t>(restAt),
                              rest.begin() + static_cast<ptrdiff_t>(restAt + *value));
                restAt += *value;
            }
            keys.after(index, tag, std::span(joined).last(*value));
        }
    }
    if (shapeAt != shape.size() || floatAt != floats.size() || restAt != rest.size())
        return std::nullopt;
    return joined;
}

} // namespace skirmish

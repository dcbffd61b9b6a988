#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>

#include "protocol/codec.h"

namespace skirmish {

// A block's records as three streams, which deflate far better than the records end
// to end: the shape (each record's time delta and length), the float fields (each the
// XOR of its bits with a prediction from the same field's last two values in the
// block), and the rest of the messages' bytes. The split is exact both ways; any bytes
// at all go through it. docs/demo-format.md gives the rules a reader follows.
class FloatPredictor {
public:
    // The prediction for one float field: key names the message, its id and the field.
    uint32_t predict(const std::string& key) const;
    void update(const std::string& key, uint32_t bits);

private:
    struct History {
        uint32_t last = 0;
        uint32_t before = 0;
        int seen = 0;
    };
    std::unordered_map<std::string, History> fields_;
};

class RecordStreamWriter {
public:
    void add(uint32_t delta, std::span<const uint8_t> message);
    size_t size() const { return shape_.size() + floats_.size() + rest_.size(); }
    // The payload before compression: the shape's and the floats' sizes, then the streams.
    Bytes finish() const;

private:
    Bytes shape_, floats_, rest_;
    FloatPredictor predictor_;
};

// The records end to end (delta, length, message each), or nothing when the payload is
// not a sound split of records of the given count.
std::optional<Bytes> JoinRecordStreams(std::span<const uint8_t> payload, uint32_t records);

void PutVarint(Bytes& out, uint32_t value);
std::optional<uint32_t> GetVarint(std::span<const uint8_t> in, size_t& pos);

} // namespace skirmish

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
    struct History {
        uint32_t last = 0;
        uint32_t before = 0;
        int seen = 0;
    };
    // The history of one float field: key names the message, its id and the field.
    History& of(const std::string& key) { return fields_[key]; }
    static uint32_t predict(const History& history);
    static void update(History& history, uint32_t bits);

private:
    std::unordered_map<std::string, History> fields_;
};

// A float field's key: the message's name (its first field, a text) and id (its second,
// an int) as far as they come before the field, then the field's place. One is reused
// from message to message, so that building keys allocates nothing once warm.
class FieldKeys {
public:
    void start() { prefix_.clear(); }
    void after(int index, uint8_t tag, std::span<const uint8_t> field);
    const std::string& of(int index);

private:
    std::string prefix_;
    std::string key_;
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
    FieldKeys keys_;
};

// The records end to end (delta, length, message each), or nothing when the payload is
// not a sound split of records of the given count.
std::optional<Bytes> JoinRecordStreams(std::span<const uint8_t> payload, uint32_t records);

void PutVarint(Bytes& out, uint32_t value);
std::optional<uint32_t> GetVarint(std::span<const uint8_t> in, size_t& pos);

} // namespace skirmish

// Any bytes as a packet: split into messages and read field by field with every
// read type. Nothing may read outside the packet, loop or crash. The same bytes as a
// version 2 packet are read too, and any message goes to version 2 and back unchanged;
// as version 3 packets they go through a client's follower, states and flights included.
#include <cstddef>
#include <cstdint>

#include "protocol/codec.h"
#include "protocol/compact.h"
#include "protocol/version3.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace skirmish;
    std::span<const uint8_t> packet(data, size);
    for (size_t pos = 0; auto message = NextMessage(packet, pos, WireVersion::V2);)
        DecodeMessage(compact::Decode(*message));
    v3::Follower follower;
    std::vector<Bytes> rebuilt;
    for (size_t pos = 0; auto message = NextMessage(packet, pos, WireVersion::V3);) {
        if (auto state = v3::ReadState(*message))
            follower.state(*state, rebuilt);
        else
            follower.message(*message, rebuilt);
        v3::ReadStateAck(*message);
    }
    ForEachMessage(packet, [](std::span<const uint8_t> message) {
        if (compact::Decode(compact::Encode(message)) != Bytes(message.begin(), message.end()))
            __builtin_trap();
        // Read the message twice: once in the types its bytes ask for, once in a fixed rotation.
        DecodeMessage(message);
        MessageReader reader(message);
        for (int i = 0; i < 64 && !reader.failed(); ++i) {
            const int type = i % 6; // texts cut at 3 bytes, at 255 and not at all
            if (type == 1)
                reader.getInt();
            else if (type == 2)
                reader.getFloat();
            else if (type == 3)
                reader.getByte();
            else
                reader.getString(type == 0 ? 3 : type == 4 ? 255 : kMaxMessageBytes);
        }
    });
    return 0;
}

// Any bytes as a packet: split into messages and read field by field with every
// read type. Nothing may read outside the packet, loop or crash.
#include <cstddef>
#include <cstdint>

#include "protocol/codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace skirmish;
    std::span<const uint8_t> packet(data, size);
    ForEachMessage(packet, [](std::span<const uint8_t> message) {
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

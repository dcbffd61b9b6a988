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
            switch (i % 6) {
            case 0:
                reader.getString(3);
                break;
            case 1:
                reader.getInt();
                break;
            case 2:
                reader.getFloat();
                break;
            case 3:
                reader.getByte();
                break;
            case 4:
                reader.getString(255);
                break;
            default:
                reader.getString();
                break;
            }
        }
    });
    return 0;
}

#include <gtest/gtest.h>

#include <bit>
#include <limits>
#include <string>

#include "protocol/compact.h"
#include "protocol/messages.h"

namespace skirmish {
namespace {

using namespace std::string_literals;

// A version 1 message of the row's name and fields, each at a value that stresses its
// layout: the lowest int, a NaN's payload and -0, a text with a NUL past 255 bytes.
MessageWriter Extreme(const compact::Layout& row)
{
    MessageWriter message;
    if (!row.name.empty())
        message.putString(row.name);
    for (size_t i = 0; i < row.fieldCount; ++i) {
        FieldType type = row.fields[i];
        static_cast<void>(type == FieldType::Int ? message.putInt(i % 2 ? std::numeric_limits<int32_t>::min() : -300)
                          : type == FieldType::Float
                              ? message.putFloat(std::bit_cast<float>(i % 2 ? 0x7FC01234u : 0x80000000u))
                          : type == FieldType::Byte ? message.putByte(255)
                                                    : message.putString("a\0b"s + std::string(300, 'x')));
    }
    return message;
}

TEST(Compact, every_message_of_the_table_goes_to_version_2_and_back_to_the_same_bytes)
{
    for (const compact::Layout& row : compact::Table()) {
        const MessageWriter message = Extreme(row);
        const Bytes v2 = compact::Encode(message.bytes());
        EXPECT_EQ(v2.at(0), row.index) << row.name;
        EXPECT_LT(v2.size(), message.bytes().size()) << row.name;
        EXPECT_EQ(compact::Decode(v2), message.bytes()) << row.name;
    }
    // What the table has no row for goes as it is: an unknown name, a field too many or of
    // another type, a broken message.
    const MessageWriter others[] = {MessageWriter().putString("Teleport"), MessageWriter(message::Health(5)).putInt(1),
                                    MessageWriter().putString("Health").putFloat(5), MessageWriter().putInt(1)};
    for (const MessageWriter& other : others) {
        const Bytes v2 = compact::Encode(other.bytes());
        EXPECT_EQ(v2[0], compact::kVerbatim);
        EXPECT_EQ(compact::Decode(v2), other.bytes());
    }
    const Bytes broken = {0x01, 0x09, 0x00, 'x'};
    EXPECT_EQ(compact::Decode(compact::Encode(broken)), broken);
    // A projectile's step, the bulk of the stream, with its length: at most 15 bytes.
    EXPECT_LE(compact::Encode(message::ProjMove(4000, 1234.5f, -77.25f).bytes()).size() + 1, 15u);
}

TEST(Compact, short_long_unknown_and_empty_messages_read_as_documented)
{
    struct Case {
        Bytes v2;
        std::string v1;
    };
    const Case cases[] = {
        {{10, 0x0A, 0, 0, 0x80, 0x3F}, "ProjMove 5 1f"},      // the last float cut off
        {{13, 0xC8, 0x01, 9, 9, 9}, "Health 100"},             // bytes after the last field
        {{12, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, "Dead"},    // an int's varint past five bytes
        {{8, 2, 5, 'A'}, "Joined 1"},                          // a text longer than the message
        {{15, 2, 4}, "1 2"},                                   // the nameless room record, short
        {{200, 1, 2}, ""},                                     // an index with no row
        {{}, ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DecodeMessage(compact::Decode(c.v2)).describe(), c.v1);
    // From a client, a row only the server sends is no command: a chat line it names is not relayed.
    for (const auto& [v2, v1] : {std::pair<Bytes, std::string>{{6, 2, 1, 'x'}, ""}, {{34, 1, 'x'}, "PlayerMessage x"},
                                 {{0, 1, 4, 0, 'F', 'i', 'r', 'e'}, "Fire"}}) {
        Bytes command;
        compact::DecodeCommand(v2, command);
        EXPECT_EQ(DecodeMessage(command).describe(), v1);
    }
    // A text that would take a version 1 message past its cap is cut there.
    Bytes longChat = {34, 0xFF, 0xFF, 0x03};
    longChat.resize(longChat.size() + 0xFFFF, 'c');
    EXPECT_EQ(compact::Decode(longChat).size(), kMaxMessageBytes);
}

// Lengths take as few bytes as they can; a length past the end takes the rest of the
// packet, and one longer than three bytes ends it.
TEST(Compact, packets_frame_messages_behind_varint_lengths)
{
    struct Case {
        std::vector<size_t> messages;
        std::vector<size_t> packets;
    };
    const Case packed[] = {
        {{0, 127, 1}, {1 + 0 + 1 + 127 + 1 + 1}}, {{128, 1}, {2 + 128 + 2}}, {{16383}, {2 + 16383}},
        {{16384, 1}, {3 + 16384, 2}}, {{compact::kMaxMessageBytes}, {3 + compact::kMaxMessageBytes}},
        // 128 bytes take two length bytes, so they no longer fit beside the first: a packet stays within the limit.
        {{kPackingLimit - 131, 128}, {kPackingLimit - 129, 2 + 128}},
    };
    auto split = [](const Bytes& packet) {
        std::vector<size_t> read;
        for (size_t pos = 0; auto m = NextMessage(packet, pos, WireVersion::V2);)
            read.push_back(m->size());
        return read;
    };
    for (const Case& c : packed) {
        std::vector<size_t> sizes, read;
        auto send = [&](Bytes&& packet) {
            sizes.push_back(packet.size());
            for (size_t size : split(packet))
                read.push_back(size);
        };
        PacketPacker packer(kPackingLimit, WireVersion::V2);
        for (size_t size : c.messages)
            packer.add(Bytes(size, 7), send);
        packer.flush(send);
        EXPECT_EQ(sizes, c.packets);
        EXPECT_EQ(read, c.messages);
    }
    const Case cut[] = {{{2}, {5, 1, 2}}, {{1}, {1, 9, 0x80, 0x80, 0x80, 0x01, 9}}, {{1}, {1, 9, 0x80}}};
    for (const Case& c : cut)
        EXPECT_EQ(split(Bytes(c.packets.begin(), c.packets.end())), c.messages);
}

} // namespace
} // namespace skirmish

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "protocol/codec.h"

namespace skirmish {
namespace {

std::vector<DecodedMessage> SplitPacket(const Bytes& packet)
{
    std::vector<DecodedMessage> out;
    ForEachMessage(packet, [&](std::span<const uint8_t> m) { out.push_back(DecodeMessage(m)); });
    return out;
}

// Texts keep every byte (a NUL, an escape, 0xFF) up to the cap asked for, the rest skipped;
// a field of another type reads as zero and is consumed, never reinterpreted.
TEST(Codec, every_field_type_round_trips_with_exact_bytes_texts_keep_every_byte_and_a_wrong_type_reads_zero)
{
    using namespace std::string_literals;
    MessageWriter writer;
    writer.putString("Moved").putInt(-2).putFloat(27.5f).putByte(255);
    const Bytes expected = {0x01, 5, 0, 'M', 'o', 'v', 'e', 'd', 0x02, 0xFE, 0xFF, 0xFF, 0xFF,
                            0x03, 0x00, 0x00, 0xDC, 0x41, 0x04, 0xFF};
    EXPECT_EQ(writer.bytes(), expected);
    writer.putInt(std::numeric_limits<int32_t>::min()).putFloat(-0.0f).putFloat(std::nanf("")).putString("");
    writer.putString("ab\0defgh"s).putString("\0\x1b\xff"s).putString("Move").putInt(7).putFloat(1.5f).putByte(3);
    MessageReader reader(writer.bytes());
    EXPECT_EQ(reader.getString(), "Moved");
    EXPECT_EQ(reader.getInt(), -2);
    EXPECT_EQ(reader.getFloat(), 27.5f);
    EXPECT_EQ(reader.getByte(), 255);
    EXPECT_EQ(reader.getInt(), std::numeric_limits<int32_t>::min());
    EXPECT_TRUE(std::signbit(reader.getFloat()));
    EXPECT_TRUE(std::isnan(reader.getFloat()));
    EXPECT_EQ(reader.getString(), "");
    EXPECT_EQ(reader.getString(3), "ab\0"s);
    EXPECT_EQ(reader.getString(), "\0\x1b\xff"s);
    EXPECT_EQ(reader.getInt(), 0);      // the text
    EXPECT_EQ(reader.getFloat(), 0.0f); // the int
    EXPECT_EQ(reader.getString(), "");  // the float
    EXPECT_EQ(reader.getByte(), 3);     // in step again
    EXPECT_TRUE(reader.atEnd());
    EXPECT_FALSE(reader.failed());
}

// Cut or lying fields must never read past the message (the sanitizer build turns an
// overrun into a failure); every read after the fault gives zero.
TEST(Codec, hostile_bytes_never_overrun_and_give_zero_values)
{
    struct Case { const char* what; Bytes bytes; };
    for (const Case& c : {Case{"empty", {}}, Case{"unknown tag", {0x07, 1, 2, 3, 4}}, Case{"tag zero", {0x00}},
                          Case{"text claiming 65535 bytes", {0x01, 0xFF, 0xFF, 'a', 'b'}}, Case{"text count cut", {0x01, 0x05}},
                          Case{"int cut", {0x02, 1, 2}}, Case{"float cut", {0x03, 0, 0, 0x80}}}) {
        MessageReader reader(c.bytes);
        EXPECT_EQ(reader.getString(), "") << c.what;
        EXPECT_EQ(reader.getInt(), 0) << c.what;
        EXPECT_EQ(reader.getFloat(), 0.0f) << c.what;
        EXPECT_EQ(reader.getByte(), 0) << c.what;
        EXPECT_TRUE(reader.failed()) << c.what;
        EXPECT_TRUE(DecodeMessage(c.bytes).fields.empty()) << c.what;
    }
}

TEST(Codec, packet_length_past_the_end_ends_the_message_at_the_packet_end)
{
    Bytes packet = {3, 0, 0x04, 7, 0x04,           // a whole message of one byte field... cut short by its length
                    0x20, 0x00, 0x02, 1, 0, 0, 0}; // claims 32 bytes, has 5
    auto messages = SplitPacket(packet);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].describe(), "b7 <malformed>");
    EXPECT_EQ(messages[1].describe(), "1");

    EXPECT_TRUE(SplitPacket(Bytes{}).empty());
    EXPECT_TRUE(SplitPacket(Bytes{9}).empty()); // a lone byte is no length
    EXPECT_EQ(SplitPacket(Bytes{0, 0}).size(), 1u); // a zero-length message is a message with no fields
}

// Catches a packer that sends one packet per message, or that splits or reorders messages.
// Messages go whole and in order into packets of at most the packing limit: two that
// fill one exactly share it, one byte more starts the next, a longer one travels alone.
TEST(Codec, packer_fills_packets_up_to_the_limit_in_order_and_sends_a_long_one_whole)
{
    const size_t half = kPackingLimit / 2 - 2; // with its length: exactly half a packet
    struct Case { std::vector<size_t> messages; std::vector<size_t> packets; };
    const Case cases[] = {
        {{half, half}, {kPackingLimit}},
        {{half, half + 1}, {half + 2, half + 3}},
        {{10, 3000, 10}, {12, 3002, 12}},
    };
    for (const Case& c : cases) {
        std::vector<Bytes> sent;
        auto send = [&](Bytes&& p) { sent.push_back(std::move(p)); };
        PacketPacker packer;
        for (size_t i = 0; i < c.messages.size(); ++i)
            packer.add(Bytes(c.messages[i], static_cast<uint8_t>(i)), send);
        packer.flush(send);
        std::vector<size_t> sizes;
        Bytes order;
        for (const Bytes& packet : sent) {
            sizes.push_back(packet.size());
            ForEachMessage(packet, [&](std::span<const uint8_t> m) { order.push_back(m.empty() ? 0 : m[0]); });
        }
        EXPECT_EQ(sizes, c.packets);
        EXPECT_EQ(order.size(), c.messages.size());
        EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    }
}

TEST(Codec, writer_refuses_fields_past_the_length_limit)
{
    MessageWriter writer;
    writer.putString(std::string(kMaxMessageBytes - 3, 'a'));
    EXPECT_FALSE(writer.overflowed());
    writer.putByte(1);
    EXPECT_TRUE(writer.overflowed());
    EXPECT_EQ(writer.bytes().size(), kMaxMessageBytes);
}

} // namespace
} // namespace skirmish

// Prints, as JSON, the bytes our C++ codec makes for every command and server
// message, so that the page's codec is checked against them.
#include <cstdio>

#include "protocol/messages.h"

namespace {

using namespace skirmish;

void Entry(const char* key, std::span<const uint8_t> bytes, const char* after = ",")
{
    std::printf("  \"%s\": \"", key);
    for (uint8_t b : bytes)
        std::printf("%02x", b);
    std::printf("\"%s\n", after);
}

void Entry(const char* key, const MessageWriter& message) { Entry(key, message.bytes()); }

} // namespace

int main()
{
    using namespace std::string_literals;
    std::printf("{\n");
    Entry("move", command::Move(1.5f, -3.0f));
    Entry("rotate", command::Rotate(90.25f));
    Entry("playerMessage", command::PlayerMessage("hi\0there, Zoë"s));
    Entry("respawn", command::Respawn(2, -7));
    Entry("name", command::Name("Browser"));
    Entry("fire", command::Fire());
    Entry("moved", message::Moved(3, 27.0f, -3.5f));
    Entry("joined", message::Joined(2, "Zoë"));
    Entry("player", message::Player(4, "x\0y"s, 64.0f, 96.5f, true));
    Entry("levelInfo", message::LevelInfo(6, 32, 24, 9));
    Entry("roomRecord", message::RoomRecord(1, 2, 3, 4));
    Entry("dead", message::Dead(2, 1));
    PacketPacker packer;
    Bytes packet;
    for (const MessageWriter& m : {message::Greeting(), message::Health(75), message::ProjDelete(12)})
        packer.add(m.bytes(), [&](Bytes&& full) { packet = std::move(full); });
    packer.flush([&](Bytes&& rest) { packet = std::move(rest); });
    Entry("packet", packet, "");
    std::printf("}\n");
}

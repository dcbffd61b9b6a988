// Prints, as JSON, the bytes our C++ codec makes for every command and server
// message, so that the page's codec is checked against them.
#include <bit>
#include <cstdio>
#include <limits>
#include <string>

#include "demo/demo_format.h"
#include "game/flight.h"
#include "protocol/compact.h"
#include "protocol/messages.h"
#include "protocol/version3.h"

namespace {

using namespace skirmish;

void Entry(const char* key, std::span<const uint8_t> bytes, const char* after = ",")
{
    std::printf("  \"%s\": \"", key);
    for (uint8_t b : bytes)
        std::printf("%02x", b);
    std::printf("\"%s\n", after);
}

// Each message also in wire version 2, under its key and "_v2".
void Entry(const char* key, const MessageWriter& message)
{
    Entry(key, message.bytes());
    Entry((std::string(key) + "_v2").c_str(), compact::Encode(message.bytes()));
}

// Row 19 of every heading across the circle and a few no whole degree, then the server's own flight
// of each over 10,000 ticks that wrap the tick count: FNV-1a 32 of every step's x and y bits, and the last bits.
void Flights()
{
    struct : Outbox {
        void toPlayer(int, const MessageWriter&) override {}
        void toAll(const MessageWriter&) override {}
    } quiet;
    Level level(1, 10, 10, 1, 2);
    level.entities.movementTicks = std::numeric_limits<int32_t>::max() - 5000;
    const float odd[] = {0.1f, -45.5f, 89.99999f, 12345.678f, 359.9999f, -0.0f};
    for (int i = 0; i < 366; ++i) {
        Projectile& p = level.entities.projectiles.emplace_back();
        std::tie(p.id, p.angle, p.x, p.y) = std::tuple(i + 1, i < 6 ? odd[i] : i - 6.0f, 0.5f + i, -3.25f * i);
        Bytes row;
        v3::Encode(message::NewProjectile(p.id, p.x, p.y, p.angle).withFlight(FlightOf(p, level.entities)), row);
        Entry(("flight" + std::to_string(i)).c_str(), row);
    }
    std::vector<uint32_t> hashes(366, 2166136261u);
    for (int tick = 0; tick < 10000; ++tick) {
        MoveProjectiles(level, quiet);
        for (const Projectile& p : level.entities.projectiles)
            for (uint64_t bits = std::bit_cast<uint32_t>(p.x) | uint64_t{std::bit_cast<uint32_t>(p.y)} << 32, b = 0; b < 8; ++b)
                hashes[p.id - 1] = (hashes[p.id - 1] ^ static_cast<uint8_t>(bits >> (8 * b))) * 16777619u;
    }
    for (const Projectile& p : level.entities.projectiles)
        std::printf("  \"flown%d\": [%u, %u, %u],\n", p.id - 1, hashes[p.id - 1], std::bit_cast<uint32_t>(p.x), std::bit_cast<uint32_t>(p.y));
}

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
    Entry("packet", packet);
    PacketPacker compactPacker(kPackingLimit, WireVersion::V2);
    for (const MessageWriter& m : {message::Greeting(), message::Health(75), message::ProjDelete(12)})
        compactPacker.add(compact::Encode(m.bytes()), [&](Bytes&& full) { packet = std::move(full); });
    compactPacker.flush([&](Bytes&& rest) { packet = std::move(rest); });
    Entry("packet_v2", packet);
    // A recording's block whose floats take every path of the prediction (straight runs,
    // NaN, infinities, -0, an overflowing step) and whose last messages break the field
    // rules; "demoMessages" are the same messages, each behind its 16-bit length.
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<Bytes> messages = {message::LevelInfo(1, 8, 8, 2).bytes()};
    for (int step = 0; step < 5; ++step)
        messages.push_back(message::ProjMove(7, 10.0f + 3.3f * static_cast<float>(step), -0.25f * step).bytes());
    for (float x : {nan, 1.0f, inf, -0.0f, 3.4e38f, -3.4e38f, 3.4e38f, 2.5f})
        messages.push_back(message::Moved(2, x, x).bytes());
    messages.push_back(message::Rotated(2, 359.75f).bytes());
    for (int twice = 0; twice < 2; ++twice) // floats before any name or id
        messages.push_back({3, 0, 0, 128, 63, 3, 0, 0, static_cast<uint8_t>(twice), 64});
    messages.insert(messages.end(), {Bytes{3, 1}, Bytes{1, 9, 0, 'x'}, Bytes{9, 3, 3}});
    Bytes framed;
    DemoBlockWriter block;
    for (size_t i = 0; i < messages.size(); ++i) {
        i == 0 ? block.addKeyframe(0, messages[i]) : block.add(static_cast<uint32_t>(17 * i), messages[i]);
        framed.insert(framed.end(), {static_cast<uint8_t>(messages[i].size()), static_cast<uint8_t>(messages[i].size() >> 8)});
        framed.insert(framed.end(), messages[i].begin(), messages[i].end());
    }
    Bytes file = EncodeDemoHeader({.tickMs = 17, .port = 1, .mapWidth = 8, .mapHeight = 8});
    Bytes written = block.finish(2);
    file.insert(file.end(), written.begin(), written.end());
    Entry("demo", file);
    v3::StateWriter state(300, -5);
    for (v3::Pose pose : {v3::Pose{2, true, false, 10, -20, 0}, {3, true, true, 1.5f, 2.25f, 90.5f}, {129, false, true, 0, 0, -1}})
        state.add(pose);
    Entry("state", state.bytes());
    Entry("stateAck", v3::StateAck(300));
    Flights();
    Entry("demoMessages", framed, "");
    std::printf("}\n");
}

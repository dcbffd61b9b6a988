// Any sequence of client events, fed through the in-memory transport into a live
// level run by the main loop's passes on a fake clock that starts just before the
// 32-bit wrap: joins and leaves in any order, packets of any bytes from any id
// (including ids that never joined), time jumps. Every command, the snapshot,
// flight, hits, expiry and respawn run on hostile input.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <sstream>

#include "app/main_loop.h"
#include "core/clock.h"
#include "core/console.h"
#include "core/random.h"
#include "game/projectile_ids.h"
#include "game/rooms.h"
#include "net/memory/memory_transport.h"
#include "net/server/net.h"
#include "protocol/names.h"

namespace {

using namespace skirmish;

// Reads the script: each step is one opcode byte and its operands.
struct Script {
    const uint8_t* pos;
    const uint8_t* end;
    bool more() const { return pos < end; }
    uint8_t byte() { return pos < end ? *pos++ : 0; }
    uint16_t word() { return static_cast<uint16_t>(byte() | (byte() << 8)); }
};

// Known command words make the fuzzer's life easier than guessing them byte by byte.
const std::string_view kWords[] = {names::kMove, names::kRotate, names::kPlayerMessage, names::kRespawn,
                                   names::kName, names::kFire,   "move",                ""};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FakeClock clock(2147483647 - 4000);
    ScopedClock useClock(clock);
    LinearRandom random;
    ScopedRandom useRandom(random);
    std::ostringstream console;
    ScopedConsole quiet(console);
    TheProjectileIdPool() = ProjectileIdPool{};

    auto owned = std::make_unique<MemoryTransport>();
    MemoryTransport& net = *owned;
    net.setRecording(false);
    NetUseTransport(std::move(owned));
    Script script{data, data + size};
    const int players = 2 + script.byte() % 8;
    NetHost(players);
    Level level(1 + script.byte() % 4, 1 + script.byte() % 40, 1 + script.byte() % 40, 1 + script.byte() % 4, players);
    level.seed = script.word();
    GenerateRooms(level, clock.now());
    LoopState loop{clock.now()};
    NetOutbox out;
    NetInbox in;

    for (int steps = 0; script.more() && steps < 2000; ++steps) {
        switch (script.byte() % 7) {
        case 0: {
            const uint8_t how = script.byte();
            net.connect(how % 2 ? "127.0.0.1" : "\x1b[31m\n", Role::Player, how & 2 ? WireVersion::V2 : WireVersion::V1);
            break;
        }
        case 1:
            net.disconnect(script.byte() % (players + 2));
            break;
        case 2: { // a command built from the known words and fuzzed fields
            int id = script.byte() % (players + 2);
            MessageWriter message;
            message.putString(kWords[script.byte() % 8]);
            for (int fields = script.byte() % 4; fields > 0; --fields) {
                const uint8_t type = script.byte() % 4;
                if (type == 0) {
                    std::string text;
                    for (size_t length = script.byte(); text.size() < length && script.more();)
                        text += static_cast<char>(script.byte());
                    message.putString(text);
                } else if (type == 3) {
                    message.putByte(script.byte());
                } else { // an int or a float (any bits, NaNs included) from the same four bytes
                    const uint32_t bits = script.word() | (static_cast<uint32_t>(script.word()) << 16);
                    type == 1 ? message.putInt(static_cast<int32_t>(bits)) : message.putFloat(std::bit_cast<float>(bits));
                }
            }
            net.send(id, message);
            break;
        }
        case 3: { // raw bytes as a packet
            int id = script.byte() % (players + 2);
            const size_t length = std::min<size_t>(script.byte(), static_cast<size_t>(script.end - script.pos));
            net.sendRaw(id, std::span<const uint8_t>(script.pos, length));
            script.pos += length;
            break;
        }
        case 4:
            clock.advance(script.byte());
            break;
        case 5:
            clock.advance(script.word());
            break;
        default:
            RunPass(level, loop, clock, in, out);
            NetService(0);
            break;
        }
    }
    for (int i = 0; i < 4; ++i) {
        RunPass(level, loop, clock, in, out);
        NetService(0);
    }
    NetUseTransport(nullptr);
    return 0;
}

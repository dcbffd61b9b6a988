// Hostile and broken clients against the real transport on loopback (port 0).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <thread>

#include "app/main_loop.h"
#include "game/projectile_ids.h"
#include "core/clock.h"
#include "core/console.h"
#include "game/timers.h"
#include "net/client.h"
#include "protocol/messages.h"
#include "net/net.h"
#include "net/transport.h"

namespace skirmish {
namespace {

using Clock = std::chrono::steady_clock;

struct LoopbackServer : ::testing::Test {
    void SetUp() override
    {
        NetUseTransport(nullptr);
        NetSetPort(0);
        ASSERT_TRUE(NetHost(8));
    }
    void TearDown() override { NetUseTransport(nullptr); }

    static void ConnectOnThread(NetClient& client, size_t channels = 1)
    {
        std::atomic<bool> done{false};
        bool ok = false;
        std::thread t([&] {
            ok = client.connect("127.0.0.1", NetBoundPort(), 2000, channels);
            done = true;
        });
        while (!done)
            NetService(1);
        t.join();
        ASSERT_TRUE(ok);
    }

    static void TakeJoins(int count)
    {
        for (int joined = 0; joined < count;)
            if (NetPlayerJoined())
                ++joined;
            else
                NetService(1);
    }
};

// One client stops reading while the server broadcasts at full rate: it must be
// dropped as a leave, and the client that keeps reading must keep its cadence.
TEST_F(LoopbackServer, a_stalled_client_is_dropped_and_the_others_keep_receiving)
{
    NetClient reader, stalled;
    ConnectOnThread(reader);
    ConnectOnThread(stalled);
    TakeJoins(2);

    std::atomic<bool> stop{false};
    std::atomic<int> ticksSeen{0};
    std::thread readerThread([&] {
        while (!stop) {
            reader.service(1);
            while (reader.nextMessage())
                ticksSeen += reader.getString() == "Tick";
        }
    });

    MessageWriter padding;
    padding.putString(std::string(100, 'p'));
    MessageWriter tick;
    tick.putString("Tick");
    int left = 0;
    int ticksSent = 0;
    auto start = Clock::now();
    auto nextTick = start;
    while (left == 0 && Clock::now() - start < std::chrono::seconds(15)) {
        if (Clock::now() >= nextTick) {
            nextTick += std::chrono::milliseconds(17);
            for (int i = 0; i < 200; ++i) // about 1.3 MB/s to each client
                NetSendAll(padding);
            NetSendAll(tick);
            ++ticksSent;
        }
        NetService(1);
        left = NetPlayerLeft();
    }
    // The stalled client is gone (its backlog passed the cap, or it fell silent): what
    // the healthy one was sent all arrives.
    for (auto drain = Clock::now(); ticksSeen < ticksSent && Clock::now() - drain < std::chrono::seconds(10);)
        NetService(1);
    stop = true;
    readerThread.join();

    EXPECT_EQ(left, 2);
    EXPECT_TRUE(reader.connected());
    EXPECT_GT(ticksSent, 50);
    EXPECT_EQ(ticksSeen, ticksSent);
}

// Counts what one pass handled: each "Move" of the flood is answered by one "Moved".
struct CountingOutbox final : Outbox {
    size_t sent = 0;
    void toPlayer(int id, const MessageWriter& message) override
    {
        ++sent;
        NetSend(id, message);
    }
    void toAll(const MessageWriter& message) override
    {
        ++sent;
        NetSendAll(message);
    }
};

// A flood of commands cannot hold the loop: however fast it comes, one pass handles
// a bounded batch, so the movement tick's turn comes after a bounded amount of work.
TEST_F(LoopbackServer, a_flooding_client_gets_a_bounded_batch_per_pass)
{
    std::ostringstream console;
    ScopedConsole quiet(console);
    Level level(2, 10, 10, 1, 8);
    level.entities.weapons[0] = nullptr;
    LoopState loop{ReadClock()};
    CountingOutbox out;
    NetClient flooder;
    ConnectOnThread(flooder);

    std::atomic<bool> stop{false};
    std::thread floodThread([&] {
        MessageWriter move = command::Move(0.25f, 0);
        while (!stop) {
            for (int i = 0; i < 500; ++i)
                flooder.send(move);
            flooder.service(0);
        }
    });

    size_t largestBatch = 0;
    size_t total = 0;
    int passes = 0;
    auto start = Clock::now();
    while (Clock::now() - start < std::chrono::seconds(2)) {
        out.sent = 0;
        bool tookInput = RunPass(level, loop, ReadClock(), out);
        largestBatch = std::max(largestBatch, out.sent);
        total += out.sent;
        ++passes;
        if (tookInput)
            NetCollect(kInputBatchMs);
        else
            NetService(kMovementTickMs);
    }
    stop = true;
    floodThread.join();

    EXPECT_GT(total, 10000u) << "the flood was handled, over " << passes << " passes";
    // The intake stops at 4096 waiting messages; one more packet (at most 1,200 bytes
    // of 15-byte "Move"s) may already be on its way in.
    EXPECT_LE(largestBatch, 4096u + 1200 / 15);
}

// Empty and garbage packets are dropped or read as zero values; a packet past the
// size cap is refused without being gathered (it blocks only its own sender's
// reliable stream); the server and its other clients go on.
TEST_F(LoopbackServer, odd_packets_and_channel_counts_leave_the_server_working)
{
    NetClient odd, wide;
    ConnectOnThread(odd);
    ConnectOnThread(wide, 255);
    TakeJoins(2);

    std::thread sending([&] {
        odd.sendRawPacket({});
        std::vector<uint8_t> garbage = {0xFF, 0xFF, 0x01, 0xFF, 0xFF, 0x07};
        odd.sendRawPacket(garbage);
        odd.send(command::Fire());
        for (int i = 0; i < 50; ++i)
            odd.service(2);
        std::vector<uint8_t> huge(200 * 1024, 0x01);
        odd.sendRawPacket(huge);
        for (int i = 0; i < 50; ++i)
            odd.service(2);
        wide.send(command::Name("wide"));
        for (int i = 0; i < 200; ++i) {
            odd.service(2);
            wide.service(2);
        }
    });
    std::vector<std::string> words;
    auto start = Clock::now();
    while (words.size() < 3 && Clock::now() - start < std::chrono::seconds(3)) {
        NetService(1);
        for (NetMessage message; NetGetMessage(message);)
            words.push_back(MessageReader(message.bytes).getString());
    }
    sending.join();
    EXPECT_THAT(words, ::testing::UnorderedElementsAre("", "Fire", "Name")); // the garbage reads as an empty word
    EXPECT_TRUE(wide.connected());
    EXPECT_TRUE(NetConnected());
}

} // namespace
} // namespace skirmish

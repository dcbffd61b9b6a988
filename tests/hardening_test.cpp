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
TEST_F(LoopbackServer, a_stalled_client_is_dropped_and_the_others_keep_their_cadence)
{
    NetClient reader, stalled;
    ConnectOnThread(reader);
    ConnectOnThread(stalled);
    TakeJoins(2);

    std::atomic<bool> stop{false};
    std::vector<double> gaps;
    std::thread readerThread([&] {
        auto last = Clock::now();
        bool seen = false;
        while (!stop) {
            reader.service(1);
            while (reader.nextMessage()) {
                if (reader.getString() != "Tick")
                    continue;
                auto now = Clock::now();
                if (seen)
                    gaps.push_back(std::chrono::duration<double, std::milli>(now - last).count());
                last = now;
                seen = true;
            }
        }
    });

    MessageWriter padding;
    padding.putString(std::string(100, 'p'));
    MessageWriter tick;
    tick.putString("Tick");
    int left = 0;
    auto start = Clock::now();
    auto nextTick = start;
    while (left == 0 && Clock::now() - start < std::chrono::seconds(15)) {
        if (Clock::now() >= nextTick) {
            nextTick += std::chrono::milliseconds(17);
            for (int i = 0; i < 200; ++i) // about 1.3 MB/s to each client
                NetSendAll(padding);
            NetSendAll(tick);
        }
        NetService(1);
        left = NetPlayerLeft();
    }
    auto droppedAfter = Clock::now() - start;
    stop = true;
    readerThread.join();

    EXPECT_EQ(left, 2);
    EXPECT_LT(droppedAfter, std::chrono::seconds(11));
    EXPECT_TRUE(reader.connected());
    ASSERT_GT(gaps.size(), 50u);
    std::sort(gaps.begin(), gaps.end());
    EXPECT_LT(gaps[gaps.size() * 99 / 100], 60.0) << "p99 gap between ticks at the healthy client";
}

// A flood of commands cannot hold the loop: the movement tick keeps its pace.
TEST_F(LoopbackServer, a_flooding_client_cannot_starve_the_movement_tick)
{
    std::ostringstream console;
    ScopedConsole quiet(console);
    Level level(2, 10, 10, 1, 8);
    level.entities.weapons[0] = nullptr;
    LoopState loop{ReadClock()};
    NetOutbox out;
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

    std::vector<int32_t> ticks;
    auto start = Clock::now();
    while (Clock::now() - start < std::chrono::seconds(2)) {
        int32_t before = loop.tickReference;
        bool tookInput = RunPass(level, loop, ReadClock(), out);
        if (loop.tickReference != before)
            ticks.push_back(loop.tickReference);
        int32_t due = MillisecondsUntilDue(level, loop, ReadClock()).value_or(kMovementTickMs);
        if (tookInput)
            NetCollect(std::min(due, kInputBatchMs));
        else
            NetService(due);
    }
    stop = true;
    floodThread.join();

    EXPECT_GT(level.entities.players[1].x, 100.0f); // the flood was handled
    ASSERT_GT(ticks.size(), 60u);
    int32_t worst = 0;
    for (size_t i = 1; i < ticks.size(); ++i)
        worst = std::max(worst, ElapsedMs(ticks[i], ticks[i - 1]));
    EXPECT_LT(worst, 50) << "longest gap between movement ticks, ms";
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

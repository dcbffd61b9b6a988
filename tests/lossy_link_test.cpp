#include <gtest/gtest.h>

#include <numeric>

#include "tools/lossy_path.h"

namespace skirmish {
namespace {

using Packet = LossyPath::Packet;

// Offers n one-byte packets numbered 0..n-1 at time 0 and returns those delivered by atMs.
std::vector<uint8_t> Through(LossyPath& path, int n, double atMs)
{
    for (int i = 0; i < n; ++i)
        path.offer(Packet{static_cast<uint8_t>(i)}, 0);
    std::vector<uint8_t> out;
    path.deliverDue(atMs, [&](const Packet& p) { out.push_back(p.at(0)); });
    return out;
}

TEST(LossyLink, loses_about_the_share_asked_and_replays_from_its_seed)
{
    struct Case {
        double loss;
        size_t least, most;
    } cases[] = {{0, 200, 200}, {100, 0, 0}, {50, 70, 130}, {5, 180, 199}};
    for (auto c : cases) {
        LossyPath path({.lossPercent = c.loss}, 7), again({.lossPercent = c.loss}, 7);
        auto arrived = Through(path, 200, 0);
        EXPECT_GE(arrived.size(), c.least) << c.loss;
        EXPECT_LE(arrived.size(), c.most) << c.loss;
        EXPECT_EQ(arrived, Through(again, 200, 0)) << c.loss;
        EXPECT_EQ(path.counts().offered, 200u);
        EXPECT_EQ(path.counts().lost + path.counts().delivered, 200u);
    }
}

TEST(LossyLink, holds_each_packet_for_its_delay_and_keeps_their_order)
{
    LossyPath path({.delayMs = 50}, 1);
    path.offer(Packet{1}, 0);
    path.offer(Packet{2}, 10);
    EXPECT_EQ(path.nextDueMs(), 50);
    std::vector<uint8_t> out;
    auto take = [&](const Packet& p) { out.push_back(p.at(0)); };
    path.deliverDue(49.9, take);
    EXPECT_TRUE(out.empty());
    path.deliverDue(50, take);
    EXPECT_EQ(out, std::vector<uint8_t>({1}));
    EXPECT_EQ(path.nextDueMs(), 60);
    path.deliverDue(1000, take);
    EXPECT_EQ(out, std::vector<uint8_t>({1, 2}));
    EXPECT_EQ(path.nextDueMs(), std::nullopt);
    EXPECT_EQ(Through(path, 100, 49).size(), 0u);
    std::vector<uint8_t> sent(100);
    std::iota(sent.begin(), sent.end(), 0);
    EXPECT_EQ(Through(path, 0, 50), sent) << "equal delays come out in the order they went in";
}

TEST(LossyLink, loses_what_its_full_queue_cannot_hold)
{
    LossyPath path({.delayMs = 10}, 1);
    auto arrived = Through(path, static_cast<int>(LossyPath::kMaxHeld) + 5, 10);
    EXPECT_EQ(arrived.size(), LossyPath::kMaxHeld);
    EXPECT_EQ(path.counts().overflowed, 5u);
}

} // namespace
} // namespace skirmish

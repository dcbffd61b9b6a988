// The desktop client's prediction and smoothing: the same rules as the page's, on a clock the test sets.
#include <gtest/gtest.h>

#include <cmath>

#include "client/motion.h"
#include "protocol/messages.h"

namespace skirmish::client {
namespace {

DecodedMessage Decoded(const MessageWriter& writer) { return DecodeMessage(writer.bytes()); }

TEST(ClientMotion, steps_are_the_servers_floats_and_answers_settle_moves_unless_an_alive_follows)
{
    Point at{100, 200};
    for (int i = 0; i < 1000; ++i)
        at = Step(at, 6, -6);
    EXPECT_EQ(at, (Point{5358.60352f, -5058.58984f})); // doubles would be 0.06 off

    Prediction p;
    p.seed({100, 200}, 0);
    for (double t : {10, 43, 76})
        p.sentMove(6, 0, t);
    p.heard(Decoded(message::Moved(1, 106, 200)), 1, 60);
    p.heard(Decoded(message::Moved(2, 0, 0)), 1, 60); // someone else's
    p.heard(Decoded(message::Moved(1, 40, 7)), 1, 60); // an automatic respawn ...
    p.heard(Decoded(message::Alive(1)), 1, 60);        // ... told by the "Alive" right after it
    EXPECT_EQ(std::pair(p.waiting(), *p.shown(60)), std::pair(size_t{2}, Point{52, 7}));
    EXPECT_EQ(p.ping(), 50.0);
    p.sentRespawn(5, 0, Point{3, 2}, 70); // drawn at once; its answers and "Alive" are no respawn of ours
    for (Point answer : {Point{46, 7}, Point{52, 7}, Point{3, 2}, Point{3, 7}})
        p.heard(Decoded(message::Moved(1, answer.x, answer.y)), 1, 100);
    p.heard(Decoded(message::Alive(1)), 1, 100);
    EXPECT_EQ(std::pair(p.waiting(), *p.shown(100)), std::pair(size_t{0}, Point{3, 7}));
    p.sentMove(0, 6, 110);
    p.heard(Decoded(message::Moved(1, 4, 13)), 1, 120); // one unit off: faded out over 100 ms
    EXPECT_EQ(*p.shown(120), (Point{3, 13}));
    EXPECT_EQ(*p.shown(170), (Point{3.5f, 13}));
    EXPECT_EQ(*p.shown(220), (Point{4, 13}));
}

TEST(ClientMotion, others_are_drawn_two_gaps_behind_and_projectiles_a_step_at_most_ahead)
{
    Smoothing s;
    for (int t = 0; t <= 300; t += 30)
        s.heard(Decoded(message::Moved(2, t / 5.0f, 0)), t);
    EXPECT_EQ(s.delay(2), 60);
    EXPECT_EQ(s.player(2, 315)->x, 51);
    EXPECT_EQ(s.player(2, 390)->x, 66); // late: one gap carried on, then back
    EXPECT_EQ(s.player(2, 500)->x, 60);
    // A packet resent after a loss brings several within a fraction of a millisecond: no fling.
    for (int i = 0; double t : {0.0, 33.0, 66.0, 400.0, 405.0, 405.05})
        s.heard(Decoded(message::Moved(4, 6.0f * i++, 0)), t);
    EXPECT_EQ(s.delay(4), 84.625); // the pair that came together is no gap
    for (double now = 400; now < 900; now += 0.5)
        ASSERT_LE(std::abs(s.player(4, now)->x - 21), 21) << now;
    s.heard(Decoded(message::NewProjectile(7, 100, 100, 90)), 0);
    s.heard(Decoded(message::ProjMove(7, 112, 106)), 10);
    EXPECT_EQ(s.projectile(7, {112, 106}, 10 + Smoothing::kTickMs / 2), (Point{118, 109}));
    EXPECT_EQ(s.projectile(7, {112, 106}, 100), (Point{124, 112}));
}

} // namespace
} // namespace skirmish::client

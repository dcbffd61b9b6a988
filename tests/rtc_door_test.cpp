// The browsers' datagram door on a fake clock, against a browser played in memory:
// what it answers, to whom, and how long what it opened lives.
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <nlohmann/json.hpp>

#include "net/rtc/data_channel.h"
#include "net/rtc/sdp.h"
#include "net/rtc/stun.h"
#include "net/server/rtc_door.h"
#include "protocol/compact.h"
#include "protocol/version3.h"

namespace skirmish {
namespace {

using std::chrono::milliseconds;
constexpr uint16_t kPort = 23987;

// Messages framed as version 3 frames them, one packet.
Bytes Packet(std::initializer_list<Bytes> messages)
{
    Bytes packet;
    for (const Bytes& message : messages) {
        compact::PutVarint(packet, static_cast<uint32_t>(message.size()));
        packet.insert(packet.end(), message.begin(), message.end());
    }
    return packet;
}

Bytes State(uint32_t number) { return v3::StateWriter(number, 100).bytes(); }

struct Browser {
    UdpAddress address;
    rtc::IceCredentials ice;
    std::optional<rtc::Answer> answer{};
    std::unique_ptr<rtc::DataChannelLink> link{};
    std::deque<Bytes> inbox{}, outbox{};
    std::vector<Bytes> messages{};
};

class RtcDoorTest : public ::testing::Test {
protected:
    static inline const auto certificate = rtc::Certificate::Generate();

    Browser& browser(uint8_t which)
    {
        std::array<uint8_t, rtc::kIceRandomBytes> random;
        fill(random);
        return browsers[which] = Browser{{htonl(0x7F000000u | which), static_cast<uint16_t>(40000 + which)},
                                            rtc::MakeIceCredentials(random)};
    }

    // The door's reply to an offer, the answer kept when there is one.
    nlohmann::json offer(int id, Browser& from, std::string local = "127.0.0.1")
    {
        const std::string text = nlohmann::json{{"offer", rtc::WriteOffer(from.ice, certificate->fingerprint(), 7)}}.dump();
        nlohmann::json reply = nlohmann::json::parse(door.signal(id, text, local, now));
        if (reply.contains("answer"))
            from.answer = rtc::ReadAnswer(reply["answer"].get<std::string>());
        return reply;
    }

    Bytes check(const Browser& from, std::string username = "", std::string password = "", bool nominate = true)
    {
        transaction[0]++;
        return rtc::WriteBindingRequest(transaction, username.empty() ? from.answer->ice.ufrag + ":" + from.ice.ufrag : username,
                                        password.empty() ? from.answer->ice.pwd : password, 1845501695, nominate, 42);
    }

    // Offer (unless done), a nominating check and the handshake, until the channel is open at both ends.
    bool open(int id, Browser& from, bool offered = false)
    {
        if ((!offered && !offer(id, from).contains("answer")) || !door.take(from.address, check(from), now))
            return false;
        from.inbox.clear(); // the check's answer, and whatever an earlier link left
        from.outbox.clear();
        const size_t before = door.openChannels();
        rtc::DataChannelLink::Callbacks callbacks{
            [&from](std::span<const uint8_t> datagram) { from.outbox.emplace_back(datagram.begin(), datagram.end()); },
            [&from](std::span<const uint8_t> message) { from.messages.emplace_back(message.begin(), message.end()); }};
        from.link = std::make_unique<rtc::DataChannelLink>(*sctp, certificate, from.answer->fingerprint,
                                                           rtc::DataChannelLink::Role::Client, callbacks, milliseconds(now));
        from.link->start(milliseconds(now));
        return pump([&] { return from.link->state() == rtc::DataChannelLink::State::Open && door.openChannels() > before; });
    }

    // Carries datagrams both ways; when none is left, the clock moves 10 ms and the
    // timers run. Stops when done() holds or after `steps` steps.
    template <typename Done>
    bool pump(Done done, int steps = 2000)
    {
        for (int step = 0; step < steps && !done(); ++step) {
            bool moved = false;
            for (auto& [which, one] : browsers) {
                for (; !one.outbox.empty(); one.outbox.pop_front(), moved = true)
                    door.take(one.address, one.outbox.front(), now);
                for (; !one.inbox.empty() && one.link; one.inbox.pop_front(), moved = true)
                    one.link->receiveDatagram(one.inbox.front(), milliseconds(now));
            }
            if (moved)
                continue;
            now += 10;
            door.service(now);
            for (auto& [which, one] : browsers)
                if (one.link)
                    one.link->onTimer(milliseconds(now));
        }
        return done();
    }
    void wait(int ms)
    {
        const int32_t until = now + ms;
        pump([&] { return now - until >= 0; }, 100000);
    }

    void fill(std::span<uint8_t> bytes)
    {
        for (uint8_t& byte : bytes)
            byte = static_cast<uint8_t>(++counter * 37);
    }

    uint32_t counter = 0;
    rtc::TransactionId transaction{};
    int32_t now = -5000; // the loop's clock wraps: the door must not mind where it starts
    std::vector<std::pair<UdpAddress, Bytes>> sent;
    std::vector<std::pair<int, Bytes>> delivered;
    RtcDoor door{{[this](const UdpAddress& to, std::span<const uint8_t> datagram) {
                      sent.emplace_back(to, Bytes(datagram.begin(), datagram.end()));
                      for (auto& [which, one] : browsers)
                          if (one.address == to)
                              one.inbox.emplace_back(datagram.begin(), datagram.end());
                  },
                  [this](int id, std::span<const uint8_t> packet) { delivered.emplace_back(id, Bytes(packet.begin(), packet.end())); },
                  [this](std::span<uint8_t> bytes) { return fill(bytes), true; }},
                 kPort};
    std::shared_ptr<rtc::SctpStack> sctp = rtc::SharedSctpStack(); // the door's: one per process
    std::map<uint8_t, Browser> browsers; // their links go before the stack does
};

TEST_F(RtcDoorTest, opens_a_channel_that_carries_states_out_and_only_acknowledgements_in)
{
    Browser& b = browser(5);
    ASSERT_TRUE(offer(1, b).contains("answer") && b.answer);
    EXPECT_EQ(b.answer->candidate, rtc::Endpoint::V4({127, 0, 0, 1}, kPort));

    // A first check from another of the browser's candidates, not nominating (as Chromium's are).
    const UdpAddress first{b.address.host, static_cast<uint16_t>(b.address.port + 1)};
    const Bytes request = check(b, "", "", false);
    ASSERT_TRUE(door.take(first, request, now));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].first, first);
    EXPECT_LE(sent[0].second.size(), request.size() + rtc::kMaxResponseGrowth);
    EXPECT_EQ(rtc::ReadBindingSuccess(sent[0].second, transaction, b.answer->ice.pwd),
              rtc::Endpoint::V4({127, 0, 0, 5}, first.port));

    sent.clear();
    ASSERT_TRUE(open(1, b, true)) << "a nominating check moves the session to its address";
    EXPECT_FALSE(door.take(first, Bytes{22, 0xFE, 0xFD, 0, 0}, now)) << "the address it moved from is ENet's again";
    EXPECT_EQ(door.openChannels(), 1u);
    for (const auto& [to, datagram] : sent)
        EXPECT_EQ(to, b.address);

    const Bytes state = Packet({State(9)});
    ASSERT_TRUE(door.send(1, state));
    ASSERT_TRUE(pump([&] { return b.messages.size() == 1; }));
    EXPECT_EQ(b.messages[0], state);

    const Bytes acks = Packet({v3::StateAck(9), v3::StateAck(300)});
    for (const Bytes& packet : {acks, Packet({v3::StateAck(9), State(2)}), Packet({State(2)}), Bytes{}, Packet({v3::StateAck(10)})})
        ASSERT_TRUE(b.link->send(packet));
    pump([&] { return delivered.size() >= 2; });
    wait(100);
    ASSERT_EQ(delivered.size(), 2u) << "nothing but acknowledgements is passed on";
    EXPECT_EQ(delivered[0], std::make_pair(1, acks));
    EXPECT_EQ(delivered[1], std::make_pair(1, Packet({v3::StateAck(10)})));

    wait(500); // SCTP's own acknowledgements settle
    ASSERT_TRUE(b.link->send(Packet({v3::StateAck(11)})));
    ASSERT_TRUE(pump([&] { return delivered.size() == 3; }));
    sent.clear();
    wait(400);
    EXPECT_FALSE(sent.empty()) << "SCTP's delayed acknowledgement leaves on the door's timers";
}

TEST_F(RtcDoorTest, strangers_get_no_answer_and_their_datagrams_stay_enets)
{
    Browser& a = browser(5);
    Browser& b = browser(6);
    ASSERT_TRUE(open(1, a));
    ASSERT_TRUE(offer(2, b).contains("answer"));
    const UdpAddress held{b.address.host, static_cast<uint16_t>(b.address.port + 1)};
    ASSERT_TRUE(door.take(held, check(b, "", "", false), now)); // any proving check binds, nominating or not
    const std::string pair = b.answer->ice.ufrag + ":" + b.ice.ufrag;
    const std::tuple<const char*, UdpAddress, Bytes> cases[] = {
        {"an unknown ufrag", b.address, check(b, "Zzzzzzzz:" + b.ice.ufrag)},
        {"a wrong password", b.address, check(b, pair, a.answer->ice.pwd)},
        {"a wrong remote ufrag", b.address, check(b, b.answer->ice.ufrag + ":" + a.ice.ufrag)},
        {"another session's address", a.address, check(b)},
        {"an address another session's first check proved", held, check(a)},
    };
    for (const auto& [name, from, datagram] : cases) {
        sent.clear();
        EXPECT_TRUE(door.take(from, datagram, now)) << name << ": STUN is the door's";
        EXPECT_TRUE(sent.empty()) << name;
    }
    // DTLS-looking bytes from an address no check proved, and what ENet sends from one
    // that was, are ENet's to read.
    for (uint8_t first : {20, 22, 63})
        EXPECT_FALSE(door.take(b.address, Bytes{first, 0xFE, 0xFD, 0, 0}, now)) << int(first);
    for (uint8_t first : {0, 19, 64, 0x80})
        EXPECT_FALSE(door.take(a.address, Bytes{first, 0xFE, 0xFD, 0, 0}, now)) << int(first);
    EXPECT_EQ(door.openChannels(), 1u);
    for (uint8_t first : {20, 63})
        EXPECT_TRUE(door.take(held, Bytes{first, 0xFE, 0xFD, 0, 0}, now)) << int(first);
}

TEST_F(RtcDoorTest, refuses_signalling_it_cannot_answer)
{
    Browser& b = browser(5);
    const std::string good = rtc::WriteOffer(b.ice, certificate->fingerprint(), 7);
    std::string small = good;
    small.replace(small.find("262144"), 6, "1131"); // a state would not fit
    auto offering = [](std::string sdp) { return nlohmann::json{{"offer", sdp}}.dump(); };
    const std::tuple<std::string, std::string, bool> cases[] = {
        {"{\"offer\": ", "127.0.0.1", false},          {"{\"offer\": 5}", "127.0.0.1", false},
        {offering("v=0\r\n"), "127.0.0.1", false},     {offering(small), "127.0.0.1", false},
        {offering(good), "::1", false},               {offering(good), "::ffff:127.0.0.1", true},
    };
    int id = 10;
    for (const auto& [text, local, answered] : cases) {
        nlohmann::json reply = nlohmann::json::parse(door.signal(++id, text, local, now));
        EXPECT_EQ(reply.contains("answer"), answered) << text << " at " << local;
        EXPECT_EQ(reply.contains("error"), !answered) << text << " at " << local;
    }
    for (int i = 1; i <= kRtcOffersPerConnection; ++i)
        EXPECT_TRUE(offer(1, b).contains("answer")) << i;
    EXPECT_TRUE(offer(1, b).contains("error"));
    door.forget(1); // the id's next connection starts afresh
    EXPECT_TRUE(offer(1, b).contains("answer"));
}

TEST_F(RtcDoorTest, a_session_ends_unopened_at_its_deadline_forgotten_or_offered_again)
{
    for (bool checked : {false, true}) {
        Browser& b = browser(5);
        ASSERT_TRUE(offer(1, b).contains("answer"));
        EXPECT_TRUE(!checked || door.take(b.address, check(b), now));
        EXPECT_LE(door.msUntilDue(now + kRtcOpenMs - 5), 5) << checked; // the deadline wakes the loop
        door.service(now + kRtcOpenMs - 1);
        EXPECT_EQ(door.sessionCount(), 1u) << checked;
        door.service(now += kRtcOpenMs);
        EXPECT_EQ(door.sessionCount(), 0u) << checked;
        sent.clear();
        door.take(b.address, check(b), now);
        EXPECT_TRUE(sent.empty()) << checked;
    }

    Browser& a = browser(5);
    ASSERT_TRUE(open(1, a));
    door.forget(1);
    EXPECT_FALSE(door.send(1, Packet({State(1)})));
    EXPECT_EQ(door.sessionCount(), 0u);

    ASSERT_TRUE(open(2, a));
    Browser& b = browser(6);
    ASSERT_TRUE(offer(2, b).contains("answer"));
    EXPECT_FALSE(door.send(2, Packet({State(1)}))) << "the new session is not open yet";
    sent.clear();
    EXPECT_TRUE(door.take(a.address, check(a), now));
    EXPECT_TRUE(sent.empty()) << "the old session's credentials are gone";
    EXPECT_TRUE(open(2, b));
}

TEST_F(RtcDoorTest, a_channel_that_acknowledges_nothing_is_closed_so_states_fall_back)
{
    struct Case {
        int states;
        std::optional<int> ackAfterMs;
        int waitMs;
        bool open;
    } const cases[] = {
        {kRtcUnansweredStates, {}, kRtcUnansweredMs - 10, true},
        {kRtcUnansweredStates, {}, kRtcUnansweredMs, false},
        {kRtcUnansweredStates - 1, {}, kRtcUnansweredMs * 2, true},
        {kRtcUnansweredStates, kRtcUnansweredMs / 2, kRtcUnansweredMs, true},
        {0, {}, kRtcOpenMs + 100, true},
    };
    uint8_t which = 1;
    for (const Case& test : cases) {
        SCOPED_TRACE(testing::Message() << test.states << " states, wait " << test.waitMs);
        Browser& b = browser(++which);
        ASSERT_TRUE(open(which, b));
        for (int i = 0; i < test.states; ++i)
            ASSERT_TRUE(door.send(which, Packet({State(static_cast<uint32_t>(i))})));
        int waited = 0;
        if (test.ackAfterMs) {
            wait(*test.ackAfterMs);
            waited = *test.ackAfterMs;
            ASSERT_TRUE(b.link->send(Packet({v3::StateAck(1)})));
        }
        wait(test.waitMs - waited);
        EXPECT_NE(door.msUntilDue(now), 0) << "an open channel lets the loop sleep";
        EXPECT_EQ(door.send(which, Bytes{}), test.open);
        door.forget(which);
    }
}

} // namespace
} // namespace skirmish

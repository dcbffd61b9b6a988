#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <numeric>
#include <set>
#include <string>
#include <random>
#include <vector>

#include "net/rtc/data_channel.h"

using namespace rtc;
using std::chrono::milliseconds;
using Bytes = std::vector<uint8_t>;
using State = DataChannelLink::State;

namespace {

// Which datagrams the wire loses: by the sending end and its count of datagrams sent.
using Loss = std::function<bool(bool fromServer, size_t index)>;

std::shared_ptr<const Certificate> Cert(int which)
{
    static auto first = Certificate::Generate(), second = Certificate::Generate();
    return which == 0 ? first : second;
}

// A server link (Cert(0)) and a client link (Cert(1)) joined in memory through queues the
// test drains, so that no call re-enters a link.
struct Pair {
    struct End {
        std::unique_ptr<DataChannelLink> link;
        std::deque<Bytes> inbox;
        std::vector<Bytes> messages, sent;
    };
    End server, client;

    Pair(const Pair&) = delete;
    Pair(SctpStack& stack, milliseconds now, Loss loss = {}, Fingerprint serverExpects = Cert(1)->fingerprint(),
         Fingerprint clientExpects = Cert(0)->fingerprint())
    {
        auto make = [&](End& self, End& other, bool fromServer, const Fingerprint& expects) {
            DataChannelLink::Callbacks callbacks{
                [&self, &other, loss, fromServer](std::span<const uint8_t> datagram) {
                    self.sent.emplace_back(datagram.begin(), datagram.end());
                    if (!loss || !loss(fromServer, self.sent.size() - 1))
                        other.inbox.push_back(self.sent.back());
                },
                [&self](std::span<const uint8_t> message) { self.messages.emplace_back(message.begin(), message.end()); }};
            self.link = std::make_unique<DataChannelLink>(
                stack, Cert(fromServer ? 0 : 1), expects,
                fromServer ? DataChannelLink::Role::Server : DataChannelLink::Role::Client, callbacks, now);
        };
        make(server, client, true, serverExpects);
        make(client, server, false, clientExpects);
        client.link->start(now);
    }
    bool open() const { return server.link->state() == State::Open && client.link->state() == State::Open; }
};

class RtcChannel : public ::testing::Test {
protected:
    // Delivers what is queued; when nothing is, moves the clock 10 ms and runs the timers.
    // Stops when done() holds or after a bounded number of steps.
    template <typename Done>
    bool pump(std::vector<Pair*> pairs, Done done, int steps = 4000)
    {
        for (int step = 0; step < steps && !done(); ++step) {
            bool moved = false;
            for (Pair* pair : pairs)
                for (auto* end : {&pair->server, &pair->client})
                    for (; !end->inbox.empty() && end->link; moved = true) {
                        const Bytes datagram = std::move(end->inbox.front());
                        end->inbox.pop_front();
                        end->link->receiveDatagram(datagram, now);
                    }
            if (moved)
                continue;
            stack.onTimer(now += milliseconds(10));
            for (Pair* pair : pairs)
                for (auto* end : {&pair->server, &pair->client})
                    if (end->link)
                        end->link->onTimer(now);
        }
        return done();
    }
    bool pumpOpen(Pair& pair) { return pump({&pair}, [&] { return pair.open(); }); }

    SctpStack stack;
    milliseconds now{1000};
};

// Its text is how the offer and the answer name it (FingerprintText is pinned by the SDP tests).
TEST(RtcCertificate, each_is_fresh_and_names_its_fingerprint_as_the_offer_does)
{
    EXPECT_NE(Cert(0)->fingerprint(), Cert(1)->fingerprint());
    EXPECT_EQ(Cert(0)->fingerprintText(), FingerprintText(Cert(0)->fingerprint()));
}

TEST(RtcDcep, an_open_is_read_only_when_its_lengths_stay_inside)
{
    // DATA_CHANNEL_OPEN with its label and protocol lengths, then `after` bytes of a-z.
    auto open = [](uint16_t label, uint16_t protocol, size_t after, uint8_t type = 0x03) {
        Bytes m = {type, 0x81, 0, 0, 1, 2, 3, 4, uint8_t(label >> 8), uint8_t(label), uint8_t(protocol >> 8), uint8_t(protocol)};
        for (size_t i = 0; i < after; ++i)
            m.push_back(static_cast<uint8_t>('a' + i % 26));
        return m;
    };
    const std::optional<DcepOpen> read = ParseDcepOpen(open(5, 0, 5));
    ASSERT_TRUE(read);
    EXPECT_EQ(std::tuple(read->label, read->channelType, read->reliability), std::tuple("abcde", 0x81, 0x01020304u));
    EXPECT_EQ(ParseDcepOpen(open(300, 2, 302)).value().label.size(), 300u);
    for (const Bytes& hostile : {open(6, 0, 5), open(5, 1, 5), open(0xffff, 0xffff, 10), Bytes(11, 3), open(0, 0, 0, 2)})
        EXPECT_FALSE(ParseDcepOpen(hostile));
}

TEST_F(RtcChannel, opens_the_games_channel_and_carries_whole_binary_messages_both_ways_each_in_one_datagram_under_the_mtu)
{
    Pair pair(stack, now);
    ASSERT_TRUE(pumpOpen(pair));
    EXPECT_EQ(pair.server.link->label(), "state");
    EXPECT_EQ(pair.server.link->channelType(), 0x81);
    std::vector<Bytes> messages = {{}, {7}, Bytes(100, 1), Bytes(DataChannelLink::kMaxMessage, 2)};
    for (size_t i = 0; i < messages.size(); ++i)
        std::iota(messages[i].begin(), messages[i].end(), static_cast<uint8_t>(i));
    for (const Bytes& message : messages)
        EXPECT_TRUE(pair.client.link->send(message) && pair.server.link->send(message));
    pump({&pair}, [&] { return pair.server.messages.size() == 4 && pair.client.messages.size() == 4; });
    // Unordered; as text, since GCC 12 at -O3 misreads a comparison of byte vectors.
    auto unordered = [](const std::vector<Bytes>& list) {
        std::multiset<std::string> out;
        for (const Bytes& message : list)
            out.emplace(message.begin(), message.end());
        return out;
    };
    EXPECT_EQ(unordered(pair.server.messages), unordered(messages));
    EXPECT_EQ(unordered(pair.client.messages), unordered(messages));
    EXPECT_FALSE(pair.client.link->send(Bytes(DataChannelLink::kMaxMessage + 1)));
    EXPECT_FALSE(pair.server.link->send(Bytes(DataChannelLink::kMaxMessage + 1)));

    pump({&pair}, [] { return false; }, 100); // let the SACKs settle
    const size_t before = pair.server.sent.size();
    ASSERT_TRUE(pair.server.link->send(Bytes(DataChannelLink::kMaxMessage, 9)));
    EXPECT_EQ(pair.server.sent.size(), before + 1);
    for (auto* end : {&pair.server, &pair.client})
        for (const Bytes& datagram : end->sent)
            EXPECT_LE(datagram.size(), DtlsEndpoint::kMaxDatagram);
}

TEST_F(RtcChannel, opens_through_lost_datagrams_by_resending_on_the_callers_clock)
{
    const std::pair<const char*, Loss> cases[] = {
        {"the client's first flight", [](bool fromServer, size_t i) { return !fromServer && i == 0; }},
        {"the server's first flight", [](bool fromServer, size_t i) { return fromServer && i < 2; }},
        {"the client's second flight", [](bool fromServer, size_t i) { return !fromServer && i >= 1 && i < 3; }},
        {"every third datagram", [](bool, size_t i) { return i % 3 == 2; }},
        {"every other one from the server", [](bool fromServer, size_t i) { return fromServer && i % 2 == 0; }},
    };
    for (const auto& [name, loss] : cases) {
        SCOPED_TRACE(name);
        Pair pair(stack, now, loss);
        const milliseconds began = now;
        // Once open, the server streams state as the game does: usrsctp resends lost DATA only
        // after an RTO of wall-clock time, so a lost DCEP ACK is made good by the client's
        // taking data as proof.
        EXPECT_TRUE(pump({&pair}, [&] {
            if (pair.server.link->state() == State::Open)
                pair.server.link->send(Bytes{0});
            return pair.open();
        }));
        EXPECT_LT(now - began, DataChannelLink::kOpenDeadline);
    }
}

TEST_F(RtcChannel, a_peer_with_another_certificate_fails_the_link_that_expected_otherwise)
{
    Fingerprint wrong = Cert(0)->fingerprint();
    wrong[31] ^= 1;
    for (bool serverIsWrong : {true, false}) {
        SCOPED_TRACE(serverIsWrong ? "server expects another" : "client expects another");
        Pair pair = serverIsWrong ? Pair(stack, now, {}, wrong) : Pair(stack, now, {}, Cert(1)->fingerprint(), wrong);
        DataChannelLink& deceived = serverIsWrong ? *pair.server.link : *pair.client.link;
        EXPECT_TRUE(pump({&pair}, [&] { return deceived.state() == State::Failed; }, 50));
        // The other end gives up at its deadline; neither ever opens.
        EXPECT_TRUE(pump({&pair}, [&] {
            return pair.server.link->state() == State::Failed && pair.client.link->state() == State::Failed;
        }));
        EXPECT_FALSE(pair.server.link->send(Bytes{1}));
    }
}

TEST_F(RtcChannel, garbage_from_the_wire_never_opens_breaks_or_repeats_anything)
{
    std::mt19937 random(7);
    auto noise = [&](size_t size) {
        Bytes bytes(size);
        std::generate(bytes.begin(), bytes.end(), random);
        return bytes;
    };
    Pair pair(stack, now);
    // Mid-handshake, after the client's hello: noise of any size, and the hello cut short.
    pump({&pair}, [&] { return !pair.client.sent.empty(); });
    for (size_t size : {1, 13, 1500, 1501})
        pair.server.link->receiveDatagram(noise(size), now);
    pair.server.link->receiveDatagram(Bytes(pair.client.sent[0].begin(), pair.client.sent[0].begin() + 20), now);
    ASSERT_TRUE(pumpOpen(pair));

    ASSERT_TRUE(pair.client.link->send(Bytes{1, 2, 3}));
    const Bytes record = pair.client.sent.back();
    pump({&pair}, [&] { return !pair.server.messages.empty(); });
    // Replayed, cut short, and a well-formed header (application data, epoch 1, a fresh
    // sequence number, the right length) over noise, so that it reaches the decryption.
    Bytes forged = noise(record.size());
    std::copy_n(record.begin(), 5, forged.begin());
    std::fill_n(forged.begin() + 5, 6, 0x7f);
    std::copy_n(record.begin() + 11, 2, forged.begin() + 11);
    for (const Bytes& datagram : {record, record, Bytes(record.begin(), record.end() - 1), forged})
        pair.server.link->receiveDatagram(datagram, now);
    pump({&pair}, [] { return false; }, 50);
    EXPECT_EQ(pair.server.messages.size(), 1u) << "a replayed or mangled record delivered again";
    ASSERT_TRUE(pair.client.link->send(Bytes{4}));
    EXPECT_TRUE(pump({&pair}, [&] { return pair.server.messages.size() == 2; })) << "the link stays open";
}

TEST_F(RtcChannel, many_links_open_and_carry_only_their_own_messages)
{
    std::vector<std::unique_ptr<Pair>> pairs;
    std::vector<Pair*> all;
    for (int i = 0; i < 20; ++i)
        all.push_back(pairs.emplace_back(std::make_unique<Pair>(stack, now)).get());
    ASSERT_TRUE(pump(all, [&] { return std::all_of(all.begin(), all.end(), [](Pair* p) { return p->open(); }); }));
    for (size_t i = 0; i < all.size(); ++i)
        ASSERT_TRUE(all[i]->client.link->send(Bytes{static_cast<uint8_t>(i)}));
    pump(all, [&] { return std::all_of(all.begin(), all.end(), [](Pair* p) { return !p->server.messages.empty(); }); });
    for (size_t i = 0; i < all.size(); ++i)
        EXPECT_EQ(all[i]->server.messages, std::vector<Bytes>{Bytes{static_cast<uint8_t>(i)}});
}

TEST_F(RtcChannel, closing_or_dropping_a_link_at_any_stage_leaves_the_other_end_and_the_stack_sound)
{
    // Steps of the pump before one end goes: from mid-DTLS to an open channel.
    for (int steps : {0, 1, 2, 3, 4, 6, 10, 1000}) {
        for (bool destroy : {true, false}) {
            SCOPED_TRACE(testing::Message() << steps << (destroy ? " steps, then destroyed" : " steps, then closed"));
            Pair pair(stack, now);
            pump({&pair}, [&] { return pair.open(); }, steps);
            if (destroy)
                pair.server.link.reset();
            else
                pair.server.link->close();
            pump({&pair}, [] { return false; }, 200);
            EXPECT_TRUE(destroy || steps < 1000 || pair.client.link->state() == State::Closed) << "the peer was not told";
            pair.server.inbox.clear();
        }
    }
}

// No datagram wakes the server's end: only the stack's timer can find that SCTP gave up.
TEST_F(RtcChannel, an_open_link_whose_peer_falls_silent_ends_once_sctp_gives_up_on_the_timer_alone)
{
    auto cut = std::make_shared<bool>(false);
    Pair pair(stack, now, [cut](bool, size_t) { return *cut; });
    ASSERT_TRUE(pumpOpen(pair));
    *cut = true;
    pair.client.link.reset();
    for (int second = 0; second < 1800 && pair.server.link->state() == State::Open; ++second)
        stack.onTimer(now += milliseconds(1000));
    EXPECT_NE(pair.server.link->state(), State::Open);
}

TEST_F(RtcChannel, a_link_with_no_peer_fails_at_its_deadline_and_asks_for_time_until_then)
{
    Pair pair(stack, now, [](bool, size_t) { return true; });
    const milliseconds deadline = now + DataChannelLink::kOpenDeadline;
    EXPECT_LE(pair.server.link->nextDue().value(), deadline);
    pair.server.link->onTimer(deadline - milliseconds(1));
    EXPECT_EQ(pair.server.link->state(), State::Handshaking);
    pair.server.link->onTimer(deadline);
    EXPECT_EQ(pair.server.link->state(), State::Failed);
    EXPECT_FALSE(pair.server.link->nextDue().has_value());
}

} // namespace

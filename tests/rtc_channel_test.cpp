#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <numeric>
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

// A server link and a client link joined in memory through queues the test drains,
// so that no call re-enters a link.
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
        auto make = [&](End& self, End& other, int cert, const Fingerprint& expects, DataChannelLink::Role role) {
            bool fromServer = role == DataChannelLink::Role::Server;
            DataChannelLink::Callbacks callbacks{
                [&self, &other, loss, fromServer](std::span<const uint8_t> datagram) {
                    self.sent.emplace_back(datagram.begin(), datagram.end());
                    if (!loss || !loss(fromServer, self.sent.size() - 1))
                        other.inbox.emplace_back(datagram.begin(), datagram.end());
                },
                [&self](std::span<const uint8_t> message) { self.messages.emplace_back(message.begin(), message.end()); }};
            self.link = std::make_unique<DataChannelLink>(stack, Cert(cert), expects, role, callbacks, now);
        };
        make(server, client, 0, serverExpects, DataChannelLink::Role::Server);
        make(client, server, 1, clientExpects, DataChannelLink::Role::Client);
        client.link->start(now);
    }
    bool open() const { return server.link->state() == State::Open && client.link->state() == State::Open; }
};

class RtcChannel : public ::testing::Test {
protected:
    // Delivers what is queued; when nothing is, moves the clock 10 ms and runs the
    // timers. Stops when done() holds or after a bounded number of steps.
    template <typename Done>
    bool pump(std::vector<Pair*> pairs, Done done, int steps = 4000)
    {
        for (int step = 0; step < steps; ++step) {
            if (done())
                return true;
            bool moved = false;
            for (Pair* pair : pairs) {
                for (auto* end : {&pair->server, &pair->client}) {
                    while (!end->inbox.empty() && end->link) {
                        Bytes datagram = std::move(end->inbox.front());
                        end->inbox.pop_front();
                        end->link->receiveDatagram(datagram, now);
                        moved = true;
                    }
                }
            }
            if (moved)
                continue;
            now += milliseconds(10);
            stack.onTimer(now);
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

TEST(RtcCertificate, EachIsFreshAndNamesItsFingerprintAsTheOfferDoes)
{
    EXPECT_NE(Cert(0)->fingerprint(), Cert(1)->fingerprint());
    const std::string& text = Cert(0)->fingerprintText();
    ASSERT_EQ(text.size(), 32u * 3 - 1);
    for (size_t i = 0; i < 32; ++i) {
        EXPECT_EQ(std::stoul(text.substr(i * 3, 2), nullptr, 16), Cert(0)->fingerprint()[i]) << i;
        EXPECT_TRUE(i == 31 || text[i * 3 + 2] == ':') << i;
    }
    EXPECT_EQ(text.find_first_of("abcdef"), std::string::npos) << "upper case, as browsers write it";
}

TEST(RtcDcep, AnOpenIsReadOnlyWhenItsLengthsStayInside)
{
    auto open = [](uint16_t labelLength, uint16_t protocolLength, size_t bytesAfter) {
        Bytes message = {0x03, 0x81, 0, 0, 0x01, 0x02, 0x03, 0x04, static_cast<uint8_t>(labelLength >> 8),
                         static_cast<uint8_t>(labelLength), static_cast<uint8_t>(protocolLength >> 8),
                         static_cast<uint8_t>(protocolLength)};
        for (size_t i = 0; i < bytesAfter; ++i)
            message.push_back(static_cast<uint8_t>('a' + i % 26));
        return message;
    };
    std::optional<DcepOpen> read = ParseDcepOpen(open(5, 0, 5));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->label, "abcde");
    EXPECT_EQ(read->channelType, 0x81);
    EXPECT_EQ(read->reliability, 0x01020304u);
    read = ParseDcepOpen(open(300, 2, 302));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->label.size(), 300u);

    Bytes notOpen = open(0, 0, 0), short_ = open(0, 0, 0);
    notOpen[0] = 0x02;
    short_.pop_back();
    for (const Bytes& hostile : {open(6, 0, 5), open(5, 1, 5), open(0xffff, 0xffff, 10), short_, notOpen})
        EXPECT_FALSE(ParseDcepOpen(hostile));
}

TEST_F(RtcChannel, OpensTheGamesChannelAndCarriesBinaryMessagesBothWaysWhole)
{
    Pair pair(stack, now);
    ASSERT_TRUE(pumpOpen(pair));
    EXPECT_EQ(pair.server.link->label(), "state");
    EXPECT_EQ(pair.server.link->channelType(), 0x81);

    std::vector<Bytes> messages = {{}, {7}, Bytes(100, 1), Bytes(DataChannelLink::kMaxMessage, 2)};
    for (size_t i = 0; i < messages.size(); ++i)
        std::iota(messages[i].begin(), messages[i].end(), static_cast<uint8_t>(i));
    for (const Bytes& message : messages) {
        EXPECT_TRUE(pair.client.link->send(message));
        EXPECT_TRUE(pair.server.link->send(message));
    }
    pump({&pair}, [&] { return pair.server.messages.size() == messages.size() && pair.client.messages.size() == messages.size(); });
    // Unordered delivery: compare as sets.
    auto sorted = [](std::vector<Bytes> list) { std::sort(list.begin(), list.end()); return list; };
    EXPECT_EQ(sorted(pair.server.messages), sorted(messages));
    EXPECT_EQ(sorted(pair.client.messages), sorted(messages));

    EXPECT_FALSE(pair.client.link->send(Bytes(DataChannelLink::kMaxMessage + 1)));
    EXPECT_FALSE(pair.server.link->send(Bytes(DataChannelLink::kMaxMessage + 1)));
}

TEST_F(RtcChannel, AMessageUpToTheLimitIsOneDatagramAndNoDatagramExceedsTheMtu)
{
    Pair pair(stack, now);
    ASSERT_TRUE(pumpOpen(pair));
    pump({&pair}, [] { return false; }, 100); // let the SACKs settle
    for (size_t size : {size_t{1100}, DataChannelLink::kMaxMessage}) {
        size_t before = pair.server.sent.size();
        ASSERT_TRUE(pair.server.link->send(Bytes(size, 9)));
        EXPECT_EQ(pair.server.sent.size(), before + 1) << size;
    }
    for (auto* end : {&pair.server, &pair.client})
        for (const Bytes& datagram : end->sent)
            EXPECT_LE(datagram.size(), DtlsEndpoint::kMaxDatagram);
}

TEST_F(RtcChannel, OpensThroughLostDatagramsByResendingOnTheCallersClock)
{
    struct Case {
        const char* name;
        Loss loss;
    };
    const Case cases[] = {
        {"the client's first flight", [](bool fromServer, size_t i) { return !fromServer && i == 0; }},
        {"the server's first flight", [](bool fromServer, size_t i) { return fromServer && i < 2; }},
        {"the client's second flight", [](bool fromServer, size_t i) { return !fromServer && i >= 1 && i < 3; }},
        {"every third datagram", [](bool, size_t i) { return i % 3 == 2; }},
        {"every other one from the server", [](bool fromServer, size_t i) { return fromServer && i % 2 == 0; }},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        Pair pair(stack, now, test.loss);
        milliseconds began = now;
        // Once open, the server streams state as the game does. usrsctp resends lost
        // DATA only after an RTO of wall-clock time, which a fake clock never gives,
        // so a lost DCEP ACK is made good by the client's taking data as proof.
        EXPECT_TRUE(pump({&pair}, [&] {
            if (pair.server.link->state() == State::Open)
                pair.server.link->send(Bytes{0});
            return pair.open();
        }));
        EXPECT_LT(now - began, DataChannelLink::kOpenDeadline);
    }
}

TEST_F(RtcChannel, APeerWithAnotherCertificateFailsTheLinkThatExpectedOtherwise)
{
    Fingerprint wrong = Cert(0)->fingerprint();
    wrong[31] ^= 1;
    for (bool serverIsWrong : {true, false}) {
        SCOPED_TRACE(serverIsWrong ? "server expects another" : "client expects another");
        Pair pair = serverIsWrong ? Pair(stack, now, {}, wrong) : Pair(stack, now, {}, Cert(1)->fingerprint(), wrong);
        DataChannelLink& deceived = serverIsWrong ? *pair.server.link : *pair.client.link;
        EXPECT_TRUE(pump({&pair}, [&] { return deceived.state() == State::Failed; }, 50));
        // The other end gives up at its deadline; neither ever opens.
        EXPECT_TRUE(pump({&pair}, [&] { return pair.server.link->state() == State::Failed && pair.client.link->state() == State::Failed; }));
        EXPECT_FALSE(pair.server.link->send(Bytes{1}));
    }
}

TEST_F(RtcChannel, GarbageFromTheWireNeverOpensBreaksOrRepeatsAnything)
{
    std::mt19937 random(7);
    auto noise = [&](size_t size) {
        Bytes bytes(size);
        for (auto& byte : bytes)
            byte = static_cast<uint8_t>(random());
        return bytes;
    };
    Pair pair(stack, now);
    // Mid-handshake: after the client's hello, the server takes noise and runs on.
    pump({&pair}, [&] { return !pair.client.sent.empty(); });
    for (size_t size : {size_t{1}, size_t{13}, size_t{200}, size_t{1500}, size_t{1501}, size_t{4000}})
        pair.server.link->receiveDatagram(noise(size), now);
    pair.server.link->receiveDatagram(Bytes(pair.client.sent[0].begin(), pair.client.sent[0].begin() + 20), now);
    ASSERT_TRUE(pumpOpen(pair));

    ASSERT_TRUE(pair.client.link->send(Bytes{1, 2, 3}));
    Bytes record = pair.client.sent.back();
    pump({&pair}, [&] { return !pair.server.messages.empty(); });
    std::vector<Bytes> hostile = {record, record, Bytes(record.begin(), record.end() - 1), noise(record.size())};
    // A well-formed header (application data, epoch 1, a fresh sequence number and the
    // right length) over noise, so that it reaches the decryption.
    Bytes& forged = hostile.back();
    std::copy_n(record.begin(), 5, forged.begin());
    std::fill_n(forged.begin() + 5, 6, 0x7f);
    std::copy_n(record.begin() + 11, 2, forged.begin() + 11);
    for (const Bytes& datagram : hostile)
        pair.server.link->receiveDatagram(datagram, now);
    pump({&pair}, [] { return false; }, 50);
    EXPECT_EQ(pair.server.messages.size(), 1u) << "a replayed or mangled record delivered again";
    EXPECT_EQ(pair.server.link->state(), State::Open);
    ASSERT_TRUE(pair.client.link->send(Bytes{4}));
    EXPECT_TRUE(pump({&pair}, [&] { return pair.server.messages.size() == 2; }));
}

TEST_F(RtcChannel, ManyLinksOpenAndCarryOnlyTheirOwnMessages)
{
    std::vector<std::unique_ptr<Pair>> pairs;
    std::vector<Pair*> all;
    for (int i = 0; i < 20; ++i) {
        pairs.push_back(std::make_unique<Pair>(stack, now));
        all.push_back(pairs.back().get());
    }
    ASSERT_TRUE(pump(all, [&] { return std::all_of(all.begin(), all.end(), [](Pair* p) { return p->open(); }); }));
    for (size_t i = 0; i < all.size(); ++i)
        ASSERT_TRUE(all[i]->client.link->send(Bytes{static_cast<uint8_t>(i)}));
    pump(all, [&] { return std::all_of(all.begin(), all.end(), [](Pair* p) { return !p->server.messages.empty(); }); });
    for (size_t i = 0; i < all.size(); ++i)
        EXPECT_EQ(all[i]->server.messages, std::vector<Bytes>{Bytes{static_cast<uint8_t>(i)}});
}

TEST_F(RtcChannel, ClosingOrDroppingALinkAtAnyStageLeavesTheOtherEndAndTheStackSound)
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
            if (!destroy && steps == 1000) {
                EXPECT_EQ(pair.client.link->state(), State::Closed) << "the peer was not told";
            }
            pair.server.inbox.clear();
        }
    }
}

TEST_F(RtcChannel, ALinkWithNoPeerFailsAtItsDeadlineAndAsksForTimeUntilThen)
{
    Pair pair(stack, now, [](bool, size_t) { return true; });
    milliseconds deadline = now + DataChannelLink::kOpenDeadline;
    ASSERT_TRUE(pair.server.link->nextDue().has_value());
    EXPECT_LE(*pair.server.link->nextDue(), deadline);
    pair.server.link->onTimer(deadline - milliseconds(1));
    EXPECT_EQ(pair.server.link->state(), State::Handshaking);
    pair.server.link->onTimer(deadline);
    EXPECT_EQ(pair.server.link->state(), State::Failed);
    EXPECT_FALSE(pair.server.link->nextDue().has_value());
}

} // namespace

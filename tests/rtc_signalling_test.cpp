#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <zlib.h>

#include <algorithm>
#include <numeric>
#include <string>

#include "net/rtc/sdp.h"
#include "net/rtc/stun.h"

namespace rtc {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Hex(std::string_view hex)
{
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
}

// RFC 5769's vectors, which share one transaction and one short-term password.
const std::string kVectorPassword = "VOkJxbRl1RmTxUk/WvJxBt";
const TransactionId kVectorTransaction = {0xb7, 0xe7, 0xa7, 0x01, 0xbc, 0x34, 0xd6, 0x86, 0xfa, 0x87, 0xdf, 0xae};
const Bytes kSampleRequest = Hex(
    "000100582112a442b7e7a701bc34d686fa87dfae802200105354554e207465737420636c69656e74002400046e0001ff"
    "80290008932ff9b151263b36000600096576746a3a68367659202020000800149aeaa70cbfd8cb56781ef2b5b2d3f249"
    "c1b571a280280004e57a3bcf");
const Bytes kSampleIpv4Response = Hex(
    "0101003c2112a442b7e7a701bc34d686fa87dfae8022000b7465737420766563746f7220002000080001a147e112a643"
    "000800142b91f599fd9e90c38c7489f92af9ba53f06be7d780280004c07d4c96");
const Bytes kSampleIpv6Response = Hex(
    "010100482112a442b7e7a701bc34d686fa87dfae8022000b7465737420766563746f7220002000140002a1470113a9fa"
    "a5d3f179bc25f4b5bed2b9d900080014a382954e4be67bf11784c97c8292c275bfe3ed4180280004c8fb0b4c");

bool Accepted(const Bytes& datagram)
{
    const auto request = ReadBindingRequest(datagram);
    return request && VerifyBindingRequest(datagram, *request, kVectorPassword);
}

// Requests put together here, independently of the writer, so that each case is wrong
// in one way only. MESSAGE-INTEGRITY (with the vectors' password) and FINGERPRINT given
// without a value are computed where they stand.
struct Attribute {
    uint16_t type;
    std::string value;
};
constexpr uint16_t kIntegrity = 0x0008, kFingerprint = 0x8028;
const std::vector<Attribute> kSealed = {{kIntegrity, ""}, {kFingerprint, ""}};

Bytes Build(std::vector<Attribute> attributes, const std::vector<Attribute>& more = kSealed)
{
    attributes.insert(attributes.end(), more.begin(), more.end());
    Bytes m = Hex("000100002112a442b7e7a701bc34d686fa87dfae");
    auto setLength = [&m](size_t extra) {
        m[2] = static_cast<uint8_t>((m.size() + extra - 20) >> 8);
        m[3] = static_cast<uint8_t>(m.size() + extra - 20);
    };
    for (auto& [type, value] : attributes) {
        if (type == kIntegrity && value.empty()) {
            setLength(24);
            unsigned char mac[20];
            HMAC(EVP_sha1(), kVectorPassword.data(), static_cast<int>(kVectorPassword.size()), m.data(), m.size(), mac,
                 nullptr);
            value.assign(reinterpret_cast<char*>(mac), 20);
        } else if (type == kFingerprint && value.empty()) {
            setLength(8);
            const uint32_t crc = static_cast<uint32_t>(crc32(0, m.data(), static_cast<uInt>(m.size()))) ^ 0x5354554e;
            value = {char(crc >> 24), char(crc >> 16), char(crc >> 8), char(crc)};
        }
        m.insert(m.end(), {uint8_t(type >> 8), uint8_t(type), uint8_t(value.size() >> 8), uint8_t(value.size())});
        m.insert(m.end(), value.begin(), value.end());
        m.resize((m.size() + 3) & ~size_t{3});
    }
    setLength(0);
    return m;
}

// A connectivity check as Chromium sends it, with its own network-info attribute
// (comprehension-optional).
const std::vector<Attribute> kBrowserCheck = {{0x0006, "srvUfrag:brwsr"},
                                              {0xC057, std::string("\0\0\0\x0a", 4)},
                                              {0x802A, "12345678"},
                                              {0x0025, ""},
                                              {0x0024, std::string("n\0\0\xff", 4)}};

TEST(Stun, the_rfc5769_request_reads_and_verifies_and_only_with_its_password)
{
    const auto request = ReadBindingRequest(kSampleRequest);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->transaction, kVectorTransaction);
    EXPECT_EQ(request->username, "evtj:h6vY");
    EXPECT_EQ(request->priority, 0x6e0001ffu);
    EXPECT_EQ(request->role, IceRole::Controlled);
    EXPECT_EQ(request->tieBreaker, 0x932ff9b151263b36u);
    EXPECT_FALSE(request->useCandidate);
    EXPECT_TRUE(VerifyBindingRequest(kSampleRequest, *request, kVectorPassword));
    EXPECT_FALSE(VerifyBindingRequest(kSampleRequest, *request, "VOkJxbRl1RmTxUk/WvJxBu"));
    EXPECT_FALSE(VerifyBindingRequest(kSampleRequest, *request, ""));
    EXPECT_EQ(SplitUsername(request->username).value().local, "evtj");
    EXPECT_EQ(SplitUsername(request->username).value().remote, "h6vY");
    EXPECT_FALSE(SplitUsername("evtj") || SplitUsername(":h6vY") || SplitUsername("evtj:"));
}

// Our responses carry the vectors' XOR-MAPPED-ADDRESS bytes and verify as theirs do (the
// vectors also carry SOFTWARE, which we do not write, so their bytes differ after it).
TEST(Stun, responses_encode_the_sender_as_rfc5769_does_and_are_signed_as_its_responses_are)
{
    const std::pair<Bytes, Endpoint> cases[] = {
        {kSampleIpv4Response, *Endpoint::Parse("192.0.2.1", 32853)},
        {kSampleIpv6Response, *Endpoint::Parse("2001:db8:1234:5678:11:2233:4455:6677", 32853)}};
    for (const auto& [vector, sender] : cases) {
        SCOPED_TRACE(sender.addressText());
        EXPECT_TRUE(VerifyMessageIntegrity(vector, vector.size() - 32, kVectorPassword));
        EXPECT_TRUE(VerifyFingerprint(vector, vector.size() - 8));
        const Bytes ours = WriteBindingSuccess(kVectorTransaction, sender, kVectorPassword);
        const ptrdiff_t address = sender.v6 ? 24 : 12;
        ASSERT_EQ(ours.size(), 20 + address + 24 + 8);
        EXPECT_TRUE(LooksLikeStun(ours));
        auto slice = [](const Bytes& m, ptrdiff_t at, ptrdiff_t n) { return Bytes(m.begin() + at, m.begin() + at + n); };
        EXPECT_EQ(slice(ours, 0, 2), slice(vector, 0, 2)) << "type";
        EXPECT_EQ(slice(ours, 4, 16), slice(vector, 4, 16)) << "cookie, transaction";
        EXPECT_EQ(slice(ours, 20, address), slice(vector, 36, address)) << "XOR-MAPPED-ADDRESS (after their SOFTWARE)";
        EXPECT_TRUE(VerifyMessageIntegrity(ours, ours.size() - 32, kVectorPassword));
        EXPECT_TRUE(VerifyFingerprint(ours, ours.size() - 8));
        EXPECT_FALSE(VerifyMessageIntegrity(ours, ours.size() - 32, "another password here!"));
        EXPECT_FALSE(VerifyMessageIntegrity(ours, ours.size() - 8, kVectorPassword) ||
                     VerifyFingerprint(ours, ours.size() - 32)) << "the other attribute's offset";
    }
    EXPECT_TRUE(WriteBindingSuccess(kVectorTransaction, Endpoint::V4({127, 0, 0, 1}, 1), "").empty());
}

TEST(Stun, hostile_or_broken_requests_are_refused)
{
    const Bytes base = Build(kBrowserCheck);
    ASSERT_TRUE(Accepted(base)) << "the baseline every case breaks one way";
    EXPECT_EQ(ReadBindingRequest(base).value().role, IceRole::Controlling);
    EXPECT_TRUE(ReadBindingRequest(base).value().useCandidate);
    auto edited = [](Bytes m, size_t at, uint8_t value) { return m[at] = value, m; };
    auto cut = [](const Bytes& m, size_t less) { return Bytes(m.begin(), m.end() - static_cast<ptrdiff_t>(less)); };
    auto with = [](std::vector<Attribute> more) {
        more.insert(more.begin(), kBrowserCheck.begin(), kBrowserCheck.end());
        return more;
    };
    auto sealedWith = [](std::string integrity) {
        return Build(kBrowserCheck, {{kIntegrity, std::move(integrity)}, {kFingerprint, ""}});
    };
    const std::string longName = "srv:" + std::string(509, 'b'); // 513 bytes
    const std::pair<const char*, Bytes> cases[] = {
        {"a truncated header", cut(kSampleRequest, kSampleRequest.size() - 19)},
        {"a DTLS record", Hex("16fefd0000000000000000006c010000600000000000")},
        {"a native datagram of zeros, the lengths agreeing", Bytes(20, 0)},
        {"four bytes short, the length lying", cut(kSampleRequest, 4)},
        {"a length not a multiple of 4", edited(cut(base, 3), 3, static_cast<uint8_t>(base.size() - 23))},
        {"the wrong cookie", edited(kSampleRequest, 7, 0x43)},
        {"top bits set", edited(kSampleRequest, 0, 0x40)},
        {"an indication, not a request", edited(kSampleRequest, 1, 0x11)},
        {"an attribute running past the end", edited(kSampleRequest, 63, 0x60)},
        {"integrity of another message", sealedWith(std::string(20, 'x'))},
        {"fingerprint one bit off", edited(base, base.size() - 1, base.back() ^ 1)},
        {"a USERNAME over 513 bytes", Build({{0x0024, "abcd"}, {0x0006, longName + "b"}})},
        {"an empty USERNAME", Build({{0x0006, ""}, {0x0024, "abcd"}})},
        {"no USERNAME", Build({{0x0024, "abcd"}})},
        {"no PRIORITY", Build({{0x0006, "ab:cd"}})},
        {"a short PRIORITY", Build({{0x0006, "ab:cd"}, {0x0024, "abc"}})},
        {"USE-CANDIDATE with a value", Build(with({{0x0025, "x"}}))},
        {"both ICE roles", Build(with({{0x8029, "12345678"}}))},
        {"USERNAME twice", Build(with({{0x0006, "srvUfrag:other"}}))},
        {"an unknown comprehension-required attribute", Build(with({{0x7FFF, "abcd"}}))},
        {"no MESSAGE-INTEGRITY", Build(kBrowserCheck, {{kFingerprint, ""}})},
        {"no FINGERPRINT", Build(kBrowserCheck, {{kIntegrity, ""}})},
        {"integrity of the wrong length", sealedWith(std::string(16, 'x'))},
        {"an attribute after FINGERPRINT", Build(kBrowserCheck, {{kIntegrity, ""}, {kFingerprint, ""}, {0x8022, "x"}})},
        {"an attribute between integrity and fingerprint",
         Build(kBrowserCheck, {{kIntegrity, ""}, {0x8022, "x"}, {kFingerprint, ""}})},
    };
    for (const auto& [name, datagram] : cases)
        EXPECT_FALSE(Accepted(datagram)) << name;
    EXPECT_TRUE(Accepted(Build({{0x0024, "abcd"}, {0x0006, longName}}))) << "513 bytes is the limit, not beyond it";
    EXPECT_TRUE(Accepted(Build(with({{0x8000, "x"}})))) << "0x8000 up is comprehension-optional";
}

// The smallest request we answer against the largest answer: nobody gets more bytes
// sent than they send, give or take kMaxResponseGrowth.
TEST(Stun, a_response_never_outgrows_the_smallest_request_we_answer_by_more_than_the_bound)
{
    const Bytes smallest = Build({{0x0006, "a"}, {0x0024, "abcd"}});
    ASSERT_TRUE(Accepted(smallest));
    EXPECT_FALSE(Accepted(Build({{0x0006, "a"}}))) << "anything smaller lacks something we require";
    const Endpoint v6 = *Endpoint::Parse("2001:db8::1", 65535);
    const Bytes response = WriteBindingSuccess(kVectorTransaction, v6, kVectorPassword);
    EXPECT_LE(response.size(), smallest.size() + kMaxResponseGrowth);
    EXPECT_GT(response.size(), smallest.size()) << "else the bound could be tighter";
}

// A real Chromium 156 offer, and one of Firefox's shape: fingerprint at session level,
// hex credentials, a huge message size.
const std::string kChromeOffer =
    "v=0\r\no=- 4887805539848089898 2 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\na=group:BUNDLE 0\r\na=extmap-allow-mixed\r\n"
    "a=msid-semantic: WMS\r\nm=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\nc=IN IP4 0.0.0.0\r\n"
    "a=ice-ufrag:Vq30\r\na=ice-pwd:hpPespC9IHCpAurJsaWC9ohJ\r\na=ice-options:trickle\r\n"
    "a=fingerprint:sha-256 4D:59:0D:63:C8:D8:49:1D:A4:35:C5:26:26:61:FE:50:CD:23:02:2B:B6:FE:4B:23:10:64:AC:89:D0:93:"
    "1E:CA\r\n"
    "a=setup:actpass\r\na=mid:0\r\na=sctp-port:5000\r\na=max-message-size:262144\r\n";
const std::string kFirefoxOffer =
    "v=0\r\no=mozilla...THIS_IS_SDPARTA-128.0 2785913307463283034 0 IN IP4 0.0.0.0\r\ns=-\r\nt=0 0\r\na=sendrecv\r\n"
    "a=fingerprint:sha-256 9f:1C:B2:04:7E:55:3A:60:11:D4:8B:E2:C9:0F:73:AA:5D:12:E8:4B:93:C6:0D:71:2F:A8:54:B9:E0:36:"
    "1D:C7\r\n"
    "a=group:BUNDLE 0\r\na=ice-options:trickle\r\na=msid-semantic:WMS *\r\n"
    "m=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\nc=IN IP4 0.0.0.0\r\na=sendrecv\r\n"
    "a=ice-pwd:c55ab0b4b2ba2f0c4e1f7bd1cd3d4e6a\r\na=ice-ufrag:3a1c9e5f\r\na=mid:0\r\na=setup:actpass\r\n"
    "a=sctp-port:5000\r\na=max-message-size:1073741823\r\n";

std::string Edit(std::string sdp, const std::string& from, const std::string& to)
{
    const size_t at = sdp.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? sdp : sdp.replace(at, from.size(), to);
}

auto Fields(const Offer& offer)
{
    return std::tuple(offer.mid, offer.iceUfrag, offer.icePwd, FingerprintText(offer.fingerprint), offer.setup,
                      offer.sctpPort, offer.maxMessageSize);
}

TEST(Sdp, chrome_and_firefox_offers_read_with_the_section_winning_and_defaults_where_silent)
{
    const std::string chromePrint = kChromeOffer.substr(kChromeOffer.find("4D:59"), 95);
    const std::string firefoxPrint = "9F" + kFirefoxOffer.substr(kFirefoxOffer.find("9f:1C") + 2, 93);
    const std::string otherPrint = FingerprintText({1});
    std::string lf = kChromeOffer;
    std::erase(lf, '\r');
    using Expected = decltype(Fields(Offer()));
    const Expected chrome = {"0", "Vq30", "hpPespC9IHCpAurJsaWC9ohJ", chromePrint, DtlsSetup::ActPass, 5000, 262144};
    const std::tuple<const char*, std::string, Expected> cases[] = {
        {"Chrome's", kChromeOffer, chrome},
        {"Firefox's", kFirefoxOffer,
         {"0", "3a1c9e5f", "c55ab0b4b2ba2f0c4e1f7bd1cd3d4e6a", firefoxPrint, DtlsSetup::ActPass, 5000, 1073741823}},
        {"LF alone", lf, chrome},
        {"silent on setup, port and size",
         Edit(Edit(Edit(kChromeOffer, "a=setup:actpass\r\n", ""), "a=sctp-port:5000\r\n", ""),
              "a=max-message-size:262144\r\n", ""),
         {"0", "Vq30", "hpPespC9IHCpAurJsaWC9ohJ", chromePrint, DtlsSetup::Active, 5000, 65536}},
        {"credentials at both levels, another port",
         Edit(Edit(kFirefoxOffer, "a=sendrecv", "a=ice-ufrag:sessionUfrag\r\na=ice-pwd:" + std::string(22, 's')),
              "sctp-port:5000", "sctp-port:5001"),
         {"0", "3a1c9e5f", "c55ab0b4b2ba2f0c4e1f7bd1cd3d4e6a", firefoxPrint, DtlsSetup::ActPass, 5001, 1073741823}},
        {"fingerprints at both levels and a sha-1 beside them",
         Edit(Edit(kFirefoxOffer, "a=mid:0", "a=mid:0\r\na=fingerprint:SHA-256 " + otherPrint), "a=group",
              "a=fingerprint:sha-1 AB:CD\r\na=group"),
         {"0", "3a1c9e5f", "c55ab0b4b2ba2f0c4e1f7bd1cd3d4e6a", otherPrint, DtlsSetup::ActPass, 5000, 1073741823}},
    };
    for (const auto& [name, sdp, expected] : cases) {
        std::string_view why;
        const auto offer = ReadOffer(sdp, &why);
        ASSERT_TRUE(offer) << name << ": " << why;
        EXPECT_EQ(Fields(*offer), expected) << name;
    }
}

TEST(Sdp, offers_that_are_too_big_odd_or_carry_bad_credentials_are_refused_for_that_reason)
{
    const std::string fingerprint = kChromeOffer.substr(kChromeOffer.find("4D:59"), 95);
    const std::string pwd = "pwd:hpPespC9IHCpAurJsaWC9ohJ";
    std::string manyLines = kChromeOffer;
    while (std::count(manyLines.begin(), manyLines.end(), '\n') < 200)
        manyLines += "a=x\r\n";
    EXPECT_TRUE(ReadOffer(manyLines)) << "200 lines";
    EXPECT_TRUE(ReadOffer(Edit(kChromeOffer, "a=mid:0", "a=mid:!0~"))) << "a token's first and last characters";
    const std::string longestLine = "a=x:" + std::string(kMaxOfferLineBytes - 4, 'x') + "\r\n";
    EXPECT_TRUE(ReadOffer(kChromeOffer + longestLine)) << "a 4 KiB line";
    const std::tuple<const char*, std::string, std::string> cases[] = {
        {"4-char ufrag minus one", Edit(kChromeOffer, "ufrag:Vq30", "ufrag:Vq3"), "ice-ufrag"},
        {"a ufrag with a dash", Edit(kChromeOffer, "ufrag:Vq30", "ufrag:Vq-0"), "ice-ufrag"},
        {"a 257-char ufrag", Edit(kChromeOffer, "ufrag:Vq30", "ufrag:" + std::string(257, 'u')), "ice-ufrag"},
        {"no ufrag", Edit(kChromeOffer, "a=ice-ufrag:Vq30\r\n", ""), "ice-ufrag"},
        {"a 21-char pwd", Edit(kChromeOffer, pwd, "pwd:hpPespC9IHCpAurJsaWC9"), "ice-pwd"},
        {"a 257-char pwd", Edit(kChromeOffer, pwd, "pwd:" + std::string(257, 'p')), "ice-pwd"},
        {"a pwd with a space", Edit(kChromeOffer, pwd, "pwd:hpPespC9IHCpAurJsaWC9 hJ"), "ice-pwd"},
        {"a ufrag twice", Edit(kChromeOffer, "a=mid:0", "a=mid:0\r\na=ice-ufrag:Vq31"), "repeated"},
        {"31 bytes of fingerprint", Edit(kChromeOffer, ":1E:CA", ":1E"), "fingerprint"},
        {"a fingerprint not in hex", Edit(kChromeOffer, ":1E:CA", ":1E:CG"), "fingerprint"},
        {"a fingerprint with a dash", Edit(kChromeOffer, "D0:93:", "D0-93:"), "fingerprint"},
        {"only sha-1", Edit(kChromeOffer, "sha-256 " + fingerprint, "sha-1 " + fingerprint.substr(0, 59)),
         "fingerprint"},
        {"a passive offerer", Edit(kChromeOffer, "setup:actpass", "setup:passive"), "setup"},
        {"no mid", Edit(kChromeOffer, "a=mid:0\r\n", ""), "mid"},
        {"a mid with a space", Edit(kChromeOffer, "a=mid:0", "a=mid:0 1"), "mid"},
        {"a mid with an at sign", Edit(kChromeOffer, "a=mid:0", "a=mid:0@"), "mid"},
        {"a mid with a colon", Edit(kChromeOffer, "a=mid:0", "a=mid:0:"), "mid"},
        {"a 33-char mid", Edit(kChromeOffer, "a=mid:0", "a=mid:" + std::string(33, 'm')), "mid"},
        {"an audio section too", kChromeOffer + "m=audio 9 UDP/TLS/RTP/SAVPF 111\r\n", "more than one"},
        {"only an audio section", Edit(kChromeOffer, "m=application", "m=audio"), "other than"},
        {"the old SCTP syntax", Edit(kChromeOffer, "UDP/DTLS/SCTP webrtc-datachannel", "DTLS/SCTP 5000"), "other than"},
        {"a refused section", Edit(kChromeOffer, "m=application 9", "m=application 0"), "other than"},
        {"no section", kChromeOffer.substr(0, kChromeOffer.find("m=")), "no data channel"},
        {"a port past 65535", Edit(kChromeOffer, "sctp-port:5000", "sctp-port:65536"), "sctp-port"},
        {"a message size that is not a number", Edit(kChromeOffer, "size:262144", "size:-1"), "max-message-size"},
        {"version 1", Edit(kChromeOffer, "v=0", "v=1"), "version"},
        {"nothing", "", "version"},
        {"a line that is not one", Edit(kChromeOffer, "s=-", "s-"), "not a line"},
        {"a NUL", Edit(kChromeOffer, "s=-", std::string("s=\0", 3)), "not a line"},
        {"over 16 KiB", kChromeOffer + "a=x:" + std::string(16 * 1024, 'x') + "\r\n", "offer too long"},
        {"a line over 4 KiB", kChromeOffer + "a" + longestLine, "line too long"},
        {"over 200 lines", manyLines + "a=x\r\n", "too many lines"},
    };
    for (const auto& [name, sdp, reason] : cases) {
        std::string_view why;
        EXPECT_FALSE(ReadOffer(sdp, &why)) << name;
        EXPECT_NE(why.find(reason), std::string_view::npos) << name << ": " << why;
    }
}

TEST(Sdp, the_answer_is_ice_lite_dtls_passive_with_one_host_candidate_per_address)
{
    std::array<uint8_t, kIceRandomBytes> random;
    std::iota(random.begin(), random.end(), uint8_t{48});
    AnswerParams params{MakeIceCredentials(random), {0xAB, 0x01}, 0xFFFF'FFFF'FFFF'FFFF, 262144, {}};
    EXPECT_EQ(params.ice.ufrag, "wxyz0123");
    EXPECT_EQ(params.ice.pwd, "456789+/ABCDEFGHIJKLMNOP");
    params.candidates = {*Endpoint::Parse("203.0.113.7", 7777), *Endpoint::Parse("2001:db8::7", 7777)};
    const std::string answer = WriteAnswer(*ReadOffer(Edit(kChromeOffer, "a=mid:0", "a=mid:data")), params);
    EXPECT_EQ(answer,
              "v=0\r\no=- 9223372036854775807 2 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\na=group:BUNDLE data\r\n"
              "a=ice-lite\r\n"
              "a=msid-semantic: WMS\r\nm=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\nc=IN IP4 0.0.0.0\r\n"
              "a=mid:data\r\na=ice-ufrag:wxyz0123\r\na=ice-pwd:456789+/ABCDEFGHIJKLMNOP\r\n"
              "a=fingerprint:sha-256 AB:01:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:"
              "00:00:00:00:00:00\r\n"
              "a=setup:passive\r\na=sctp-port:5000\r\na=max-message-size:262144\r\n"
              "a=candidate:1 1 udp 2130706431 203.0.113.7 7777 typ host\r\n"
              "a=candidate:2 1 udp 2130706175 2001:db8::7 7777 typ host\r\na=end-of-candidates\r\n");
    random.fill(0xFF);
    EXPECT_EQ(MakeIceCredentials(random).pwd, std::string(24, '/')) << "every byte lands on an ice-char";
}

} // namespace
} // namespace rtc

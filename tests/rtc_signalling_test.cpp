#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
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

// Requests built apart from the writer, each wrong one way only; MESSAGE-INTEGRITY (the vectors'
// password) and FINGERPRINT without a value are computed where they stand.
using Attributes = std::vector<std::pair<uint16_t, std::string>>;
constexpr uint16_t kIntegrity = 0x0008, kFingerprint = 0x8028;

Bytes Build(Attributes attributes, const Attributes& seal = {{kIntegrity, ""}, {kFingerprint, ""}})
{
    attributes.insert(attributes.end(), seal.begin(), seal.end());
    Bytes m = Hex("000100002112a442b7e7a701bc34d686fa87dfae");
    auto setLength = [&m](size_t n) { m[2] = uint8_t((m.size() + n - 20) >> 8), m[3] = uint8_t(m.size() + n - 20); };
    for (auto& [type, value] : attributes) {
        if (type == kIntegrity && value.empty()) {
            setLength(24);
            value.resize(20);
            HMAC(EVP_sha1(), kVectorPassword.data(), int(kVectorPassword.size()), m.data(), m.size(),
                 reinterpret_cast<unsigned char*>(value.data()), nullptr);
        } else if (type == kFingerprint && value.empty()) {
            setLength(8);
            const uint32_t crc = uint32_t(crc32(0, m.data(), uInt(m.size()))) ^ 0x5354554e;
            value = {char(crc >> 24), char(crc >> 16), char(crc >> 8), char(crc)};
        }
        m.insert(m.end(), {uint8_t(type >> 8), uint8_t(type), uint8_t(value.size() >> 8), uint8_t(value.size())});
        m.insert(m.end(), value.begin(), value.end());
        m.resize((m.size() + 3) & ~size_t{3});
    }
    setLength(0);
    return m;
}

// Ours carry the vectors' XOR-MAPPED-ADDRESS and verify as theirs do (theirs also carry
// SOFTWARE, which we do not write), and outgrow the smallest request we answer by at most
// kMaxResponseGrowth.
TEST(Stun, responses_encode_the_sender_as_rfc5769_does_are_signed_as_its_are_and_grow_within_bounds)
{
    const Bytes smallest = Build({{0x0006, "a"}, {0x0024, "abcd"}});
    ASSERT_TRUE(Accepted(smallest));
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
        EXPECT_TRUE(std::equal(ours.begin(), ours.begin() + 2, vector.begin())) << "type";
        EXPECT_TRUE(std::equal(ours.begin() + 4, ours.begin() + 20, vector.begin() + 4)) << "cookie, transaction";
        EXPECT_TRUE(std::equal(ours.begin() + 20, ours.begin() + 20 + address, vector.begin() + 36)) << "address";
        EXPECT_TRUE(VerifyMessageIntegrity(ours, ours.size() - 32, kVectorPassword));
        EXPECT_TRUE(VerifyFingerprint(ours, ours.size() - 8));
        EXPECT_FALSE(VerifyMessageIntegrity(ours, ours.size() - 8, kVectorPassword) ||
                     VerifyFingerprint(ours, ours.size() - 32)) << "the other attribute's offset";
        EXPECT_LE(ours.size(), smallest.size() + kMaxResponseGrowth);
        EXPECT_TRUE(!sender.v6 || ours.size() > smallest.size()) << "else the bound could be tighter";
    }
    EXPECT_TRUE(WriteBindingSuccess(kVectorTransaction, Endpoint::V4({127, 0, 0, 1}, 1), "").empty());
}

TEST(Stun, the_rfc5769_request_verifies_with_its_password_alone_and_hostile_or_broken_ones_are_refused)
{
    const auto r = ReadBindingRequest(kSampleRequest);
    ASSERT_TRUE(r);
    EXPECT_EQ(std::tuple(r->transaction, r->username, r->priority, r->role, r->tieBreaker, r->useCandidate),
              std::tuple(kVectorTransaction, "evtj:h6vY", 0x6e0001ffu, IceRole::Controlled, 0x932ff9b151263b36u, false));
    EXPECT_TRUE(VerifyBindingRequest(kSampleRequest, *r, kVectorPassword));
    EXPECT_FALSE(VerifyBindingRequest(kSampleRequest, *r, "VOkJxbRl1RmTxUk/WvJxBu"));
    EXPECT_FALSE(VerifyBindingRequest(kSampleRequest, *r, ""));
    EXPECT_EQ(SplitUsername(r->username).value().local, "evtj");
    EXPECT_EQ(SplitUsername(r->username).value().remote, "h6vY");
    EXPECT_FALSE(SplitUsername("evtj") || SplitUsername(":h6vY") || SplitUsername("evtj:"));
    // A connectivity check as Chromium sends it, with its own comprehension-optional attribute.
    const Attributes check = {{0x0006, "srvUfrag:brwsr"}, {0xC057, std::string("\0\0\0\x0a", 4)},
                              {0x802A, "12345678"}, {0x0025, ""}, {0x0024, std::string("n\0\0\xff", 4)}};
    const Bytes base = Build(check);
    ASSERT_TRUE(Accepted(base)) << "the baseline every case breaks one way";
    EXPECT_EQ(std::pair(ReadBindingRequest(base)->role, ReadBindingRequest(base)->useCandidate),
              std::pair(IceRole::Controlling, true));
    auto edited = [](Bytes m, size_t at, uint8_t value) { return m[at] = value, m; };
    auto with = [&](Attributes more) { return more.insert(more.begin(), check.begin(), check.end()), Build(more); };
    auto sealed = [&](Attributes seal) { return Build(check, seal); };
    const std::string name513 = "srv:" + std::string(509, 'b');
    const std::pair<const char*, Bytes> cases[] = {
        {"a truncated header", Bytes(kSampleRequest.begin(), kSampleRequest.begin() + 19)},
        {"four bytes short, the length lying", Bytes(kSampleRequest.begin(), kSampleRequest.end() - 4)},
        {"a length not a multiple of 4", edited(Bytes(base.begin(), base.end() - 3), 3, uint8_t(base.size() - 23))},
        {"the wrong cookie", edited(kSampleRequest, 7, 0x43)}, {"top bits set", edited(kSampleRequest, 0, 0x40)},
        {"an indication", edited(kSampleRequest, 1, 0x11)}, {"overlong", edited(kSampleRequest, 63, 0x60)},
        {"fingerprint one bit off", edited(base, base.size() - 1, base.back() ^ 1)},
        {"integrity of another message", sealed({{kIntegrity, std::string(20, 'x')}, {kFingerprint, ""}})},
        {"integrity of the wrong length", sealed({{kIntegrity, std::string(16, 'x')}, {kFingerprint, ""}})},
        {"one after FINGERPRINT", sealed({{kIntegrity, ""}, {kFingerprint, ""}, {0x8022, "x"}})},
        {"one between the two", sealed({{kIntegrity, ""}, {0x8022, "x"}, {kFingerprint, ""}})},
        {"USERNAME over 513 bytes", Build({{0x0024, "abcd"}, {0x0006, name513 + "b"}})},
        {"an empty USERNAME", Build({{0x0006, ""}, {0x0024, "abcd"}})}, {"no USERNAME", Build({{0x0024, "abcd"}})},
        {"no PRIORITY", Build({{0x0006, "ab:cd"}})}, {"a short PRIORITY", Build({{0x0006, "ab:cd"}, {0x0024, "abc"}})},
        {"USE-CANDIDATE with a value", with({{0x0025, "x"}})}, {"both ICE roles", with({{0x8029, "12345678"}})},
        {"an unknown comprehension-required attribute", with({{0x7FFF, "abcd"}})},
    };
    for (const auto& [name, datagram] : cases)
        EXPECT_FALSE(Accepted(datagram)) << name;
    EXPECT_TRUE(Accepted(Build({{0x0024, "abcd"}, {0x0006, name513}}))) << "513 bytes is the limit, not beyond it";
    EXPECT_TRUE(Accepted(with({{0x8000, "x"}}))) << "0x8000 up is comprehension-optional";
}

// A real Chromium 156 offer.
const std::string kChromeOffer =
    "v=0\r\no=- 4887805539848089898 2 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\na=group:BUNDLE 0\r\na=extmap-allow-mixed\r\n"
    "a=msid-semantic: WMS\r\nm=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\nc=IN IP4 0.0.0.0\r\n"
    "a=ice-ufrag:Vq30\r\na=ice-pwd:hpPespC9IHCpAurJsaWC9ohJ\r\na=ice-options:trickle\r\n"
    "a=fingerprint:sha-256 4D:59:0D:63:C8:D8:49:1D:A4:35:C5:26:26:61:FE:50:CD:23:02:2B:B6:FE:4B:23:10:64:AC:89:D0:93:"
    "1E:CA\r\n"
    "a=setup:actpass\r\na=mid:0\r\na=sctp-port:5000\r\na=max-message-size:262144\r\n";
const std::string kPrint = kChromeOffer.substr(kChromeOffer.find("4D:59"), 95);

// kChromeOffer with its first `from` made `to`.
std::string Edit(const std::string& from, const std::string& to, std::string sdp = kChromeOffer)
{
    return sdp.replace(sdp.find(from), from.size(), to); // throws if from is missing
}

TEST(Sdp, chrome_and_firefox_offers_read_with_the_section_winning_and_defaults_where_silent)
{
    // Firefox's shape: the fingerprint at session level in lower case, a huge message size; and LF alone.
    std::string lower = kPrint, fox = Edit("262144", "1073741823", Edit("a=fingerprint:sha-256 " + kPrint + "\r\n", ""));
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    fox = Edit("a=group", "a=fingerprint:sha-256 " + lower + "\r\na=group", fox);
    std::erase(fox, '\r');
    const std::string session = "a=fingerprint:sha-1 AB:CD\r\na=fingerprint:SHA-256 " + FingerprintText({1}) +
                                "\r\na=ice-ufrag:sessionUfrag\r\na=ice-pwd:" + std::string(22, 's') + "\r\na=group";
    const std::string ufrag = "Vq30", pwd = "hpPespC9IHCpAurJsaWC9ohJ";
    using Fields = std::tuple<std::string, std::string, std::string, DtlsSetup, uint16_t, uint64_t>;
    const std::pair<std::string, Fields> cases[] = {
        {kChromeOffer, {ufrag, pwd, kPrint, DtlsSetup::ActPass, 5000, 262144}},
        {fox, {ufrag, pwd, kPrint, DtlsSetup::ActPass, 5000, 1073741823}},
        {Edit("a=setup:actpass\r\na=mid:0\r\na=sctp-port:5000\r\na=max-message-size:262144", "a=mid:0"),
         {ufrag, pwd, kPrint, DtlsSetup::Active, 5000, 65536}},
        {Edit("a=group", session, Edit("port:5000", "port:5001")), {ufrag, pwd, kPrint, DtlsSetup::ActPass, 5001, 262144}},
    };
    for (const auto& [sdp, expected] : cases) {
        std::string_view why;
        const auto o = ReadOffer(sdp, &why);
        ASSERT_TRUE(o) << sdp << why;
        EXPECT_EQ(Fields(o->iceUfrag, o->icePwd, FingerprintText(o->fingerprint), o->setup, o->sctpPort,
                         o->maxMessageSize), expected) << sdp;
        EXPECT_EQ(o->mid, "0");
    }
}

TEST(Sdp, offers_that_are_too_big_odd_or_carry_bad_credentials_are_refused_for_that_reason)
{
    const std::string pwd = "pwd:hpPespC9IHCpAurJsaWC9ohJ", line4k = "a=x:" + std::string(kMaxOfferLineBytes - 4, 'x');
    std::string lines200 = kChromeOffer; // 17 lines
    for (int i = 17; i < 200; ++i)
        lines200 += "a=x\n";
    EXPECT_TRUE(ReadOffer(lines200));
    EXPECT_TRUE(ReadOffer(kChromeOffer + line4k));
    EXPECT_TRUE(ReadOffer(Edit("a=mid:0", "a=mid:!0~"))) << "a token's first and last characters";
    const std::pair<std::string, std::string> cases[] = { // offer, reason
        {Edit("ufrag:Vq30", "ufrag:Vq3"), "ice-ufrag"}, {Edit("ufrag:Vq30", "ufrag:" + std::string(257, 'u')), "ice-ufrag"},
        {Edit("a=ice-ufrag:Vq30\r\n", ""), "ice-ufrag"}, {Edit(pwd, "pwd:hpPespC9IHCpAurJsaWC9"), "ice-pwd"},
        {Edit(pwd, "pwd:" + std::string(257, 'p')), "ice-pwd"}, {Edit(pwd, "pwd:hpPespC9IHCpAurJsaWC9 hJ"), "ice-pwd"},
        {Edit("a=mid:0", "a=mid:0\r\na=ice-ufrag:Vq31"), "repeated"}, {Edit(":1E:CA", ":1E"), "fingerprint"},
        {Edit(":1E:CA", ":1E:CG"), "fingerprint"}, {Edit("D0:93:", "D0-93:"), "fingerprint"},
        {Edit("sha-256 " + kPrint, "sha-1 " + kPrint.substr(0, 59)), "fingerprint"},
        {Edit("setup:actpass", "setup:passive"), "setup"}, {Edit("a=mid:0\r\n", ""), "mid"},
        {Edit("a=mid:0", "a=mid:0 1"), "mid"}, {Edit("a=mid:0", "a=mid:0@"), "mid"}, {Edit("a=mid:0", "a=mid:0:"), "mid"},
        {Edit("a=mid:0", "a=mid:" + std::string(33, 'm')), "mid"}, {kChromeOffer + "m=audio 9 RTP 0\r\n", "more than one"},
        {Edit("m=application", "m=audio"), "other than"}, {Edit("m=application 9", "m=application 0"), "other than"},
        {Edit("UDP/DTLS/SCTP webrtc-datachannel", "DTLS/SCTP 5000"), "other than"},
        {kChromeOffer.substr(0, kChromeOffer.find("m=")), "no data channel"},
        {Edit("port:5000", "port:65536"), "sctp-port"}, {Edit("size:262144", "size:-1"), "max-message-size"},
        {Edit("v=0", "v=1"), "version"}, {"", "version"}, {Edit("s=-", "s-"), "not a line"},
        {Edit("s=-", std::string("s=\0", 3)), "not a line"}, {kChromeOffer + "a" + line4k, "line too long"},
        {kChromeOffer + "a=x:" + std::string(16 * 1024, 'x'), "offer too long"}, {lines200 + "a=x", "too many lines"},
    };
    for (const auto& [sdp, reason] : cases) {
        std::string_view why;
        EXPECT_FALSE(ReadOffer(sdp, &why)) << reason;
        EXPECT_NE(why.find(reason), std::string_view::npos) << reason << ": " << why;
    }
}

TEST(Sdp, the_answer_is_ice_lite_dtls_passive_with_one_host_candidate_per_address)
{
    std::array<uint8_t, kIceRandomBytes> random;
    std::iota(random.begin(), random.end(), uint8_t{48});
    AnswerParams params{MakeIceCredentials(random), {0xAB, 0x01}, 0xFFFF'FFFF'FFFF'FFFF, 262144, {}};
    params.candidates = {*Endpoint::Parse("203.0.113.7", 7777), *Endpoint::Parse("2001:db8::7", 7777)};
    EXPECT_EQ(WriteAnswer(*ReadOffer(Edit("a=mid:0", "a=mid:data")), params),
              "v=0\r\no=- 9223372036854775807 2 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\na=group:BUNDLE data\r\n"
              "a=ice-lite\r\n"
              "a=msid-semantic: WMS\r\nm=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\nc=IN IP4 0.0.0.0\r\n"
              "a=mid:data\r\na=ice-ufrag:wxyz0123\r\na=ice-pwd:456789+/ABCDEFGHIJKLMNOP\r\n"
              "a=fingerprint:sha-256 AB:01:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:"
              "00:00:00:00:00:00\r\n"
              "a=setup:passive\r\na=sctp-port:5000\r\na=max-message-size:262144\r\n"
              "a=candidate:1 1 udp 2130706431 203.0.113.7 7777 typ host\r\n"
              "a=candidate:2 1 udp 2130706175 2001:db8::7 7777 typ host\r\na=end-of-candidates\r\n");
}

} // namespace
} // namespace rtc

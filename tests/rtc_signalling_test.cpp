#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <zlib.h>

#include <functional>
#include <numeric>
#include <string>

#include "net/rtc/sdp.h"
#include "net/rtc/stun.h"

namespace rtc {
namespace {

using Bytes = std::vector<uint8_t>;

// RFC 5769's vectors, which share one transaction and one short-term password.
const std::string kVectorPassword = "VOkJxbRl1RmTxUk/WvJxBt";
const TransactionId kVectorTransaction = {0xb7, 0xe7, 0xa7, 0x01, 0xbc, 0x34, 0xd6, 0x86, 0xfa, 0x87, 0xdf, 0xae};
const Bytes kSampleRequest = {
    0x00, 0x01, 0x00, 0x58, 0x21, 0x12, 0xa4, 0x42, 0xb7, 0xe7, 0xa7, 0x01, 0xbc, 0x34, 0xd6, 0x86, 0xfa, 0x87,
    0xdf, 0xae, 0x80, 0x22, 0x00, 0x10, 0x53, 0x54, 0x55, 0x4e, 0x20, 0x74, 0x65, 0x73, 0x74, 0x20, 0x63, 0x6c,
    0x69, 0x65, 0x6e, 0x74, 0x00, 0x24, 0x00, 0x04, 0x6e, 0x00, 0x01, 0xff, 0x80, 0x29, 0x00, 0x08, 0x93, 0x2f,
    0xf9, 0xb1, 0x51, 0x26, 0x3b, 0x36, 0x00, 0x06, 0x00, 0x09, 0x65, 0x76, 0x74, 0x6a, 0x3a, 0x68, 0x36, 0x76,
    0x59, 0x20, 0x20, 0x20, 0x00, 0x08, 0x00, 0x14, 0x9a, 0xea, 0xa7, 0x0c, 0xbf, 0xd8, 0xcb, 0x56, 0x78, 0x1e,
    0xf2, 0xb5, 0xb2, 0xd3, 0xf2, 0x49, 0xc1, 0xb5, 0x71, 0xa2, 0x80, 0x28, 0x00, 0x04, 0xe5, 0x7a, 0x3b, 0xcf};
const Bytes kSampleIpv4Response = {
    0x01, 0x01, 0x00, 0x3c, 0x21, 0x12, 0xa4, 0x42, 0xb7, 0xe7, 0xa7, 0x01, 0xbc, 0x34, 0xd6, 0x86, 0xfa, 0x87,
    0xdf, 0xae, 0x80, 0x22, 0x00, 0x0b, 0x74, 0x65, 0x73, 0x74, 0x20, 0x76, 0x65, 0x63, 0x74, 0x6f, 0x72, 0x20,
    0x00, 0x20, 0x00, 0x08, 0x00, 0x01, 0xa1, 0x47, 0xe1, 0x12, 0xa6, 0x43, 0x00, 0x08, 0x00, 0x14, 0x2b, 0x91,
    0xf5, 0x99, 0xfd, 0x9e, 0x90, 0xc3, 0x8c, 0x74, 0x89, 0xf9, 0x2a, 0xf9, 0xba, 0x53, 0xf0, 0x6b, 0xe7, 0xd7,
    0x80, 0x28, 0x00, 0x04, 0xc0, 0x7d, 0x4c, 0x96};
const Bytes kSampleIpv6Response = {
    0x01, 0x01, 0x00, 0x48, 0x21, 0x12, 0xa4, 0x42, 0xb7, 0xe7, 0xa7, 0x01, 0xbc, 0x34, 0xd6, 0x86, 0xfa, 0x87,
    0xdf, 0xae, 0x80, 0x22, 0x00, 0x0b, 0x74, 0x65, 0x73, 0x74, 0x20, 0x76, 0x65, 0x63, 0x74, 0x6f, 0x72, 0x20,
    0x00, 0x20, 0x00, 0x14, 0x00, 0x02, 0xa1, 0x47, 0x01, 0x13, 0xa9, 0xfa, 0xa5, 0xd3, 0xf1, 0x79, 0xbc, 0x25,
    0xf4, 0xb5, 0xbe, 0xd2, 0xb9, 0xd9, 0x00, 0x08, 0x00, 0x14, 0xa3, 0x82, 0x95, 0x4e, 0x4b, 0xe6, 0x7b, 0xf1,
    0x17, 0x84, 0xc9, 0x7c, 0x82, 0x92, 0xc2, 0x75, 0xbf, 0xe3, 0xed, 0x41, 0x80, 0x28, 0x00, 0x04, 0xc8, 0xfb,
    0x0b, 0x4c};

bool Accepted(const Bytes& datagram, const std::string& password = kVectorPassword)
{
    const auto request = ReadBindingRequest(datagram);
    return request && VerifyBindingRequest(datagram, *request, password);
}

// A Binding request put together and signed here, independently of the writer, so
// that a case can be malformed in one way only.
struct Attribute {
    uint16_t type;
    std::string value;
};
// As Chromium sends them, with its own network-info attribute (comprehension-optional).
const std::vector<Attribute> kBrowserCheck = {
    {0x0006, "srvUfrag:brwsr"}, {0xC057, std::string("\0\0\0\x0a", 4)}, {0x802A, "12345678"}, {0x0025, ""},
    {0x0024, std::string("n\0\0\xff", 4)}};

void SetLength(Bytes& m) { m[2] = static_cast<uint8_t>((m.size() - 20) >> 8), m[3] = static_cast<uint8_t>(m.size() - 20); }

// The message with its last 8 bytes made a FINGERPRINT of what precedes them.
Bytes Refingerprint(Bytes m)
{
    SetLength(m);
    const size_t at = m.size() - 8;
    const uint32_t crc = static_cast<uint32_t>(crc32(0, m.data(), static_cast<uInt>(at))) ^ 0x5354554e;
    const uint8_t value[] = {0x80, 0x28, 0, 4, uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8), uint8_t(crc)};
    std::copy(std::begin(value), std::end(value), m.begin() + static_cast<ptrdiff_t>(at));
    return m;
}

Bytes Build(const std::vector<Attribute>& attributes, bool integrity = true, bool fingerprint = true)
{
    Bytes m = {0x00, 0x01, 0, 0, 0x21, 0x12, 0xA4, 0x42};
    m.insert(m.end(), kVectorTransaction.begin(), kVectorTransaction.end());
    auto put = [&m](uint16_t type, const std::string& value) {
        m.insert(m.end(), {static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type),
                           static_cast<uint8_t>(value.size() >> 8), static_cast<uint8_t>(value.size())});
        m.insert(m.end(), value.begin(), value.end());
        m.resize((m.size() + 3) & ~size_t{3});
    };
    for (const auto& [type, value] : attributes)
        put(type, value);
    if (integrity) {
        m.resize(m.size() + 24); // the length must count the attribute before it is signed
        SetLength(m);
        m.resize(m.size() - 24);
        unsigned char mac[20];
        HMAC(EVP_sha1(), kVectorPassword.data(), static_cast<int>(kVectorPassword.size()), m.data(), m.size(), mac, nullptr);
        put(0x0008, std::string(reinterpret_cast<char*>(mac), 20));
    }
    if (fingerprint) {
        m.resize(m.size() + 8);
        m = Refingerprint(m);
    }
    SetLength(m);
    return m;
}

std::vector<Attribute> With(std::vector<Attribute> attributes, Attribute more)
{
    attributes.push_back(std::move(more));
    return attributes;
}

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
    const auto parts = SplitUsername(request->username);
    ASSERT_TRUE(parts);
    EXPECT_EQ(parts->local, "evtj");
    EXPECT_EQ(parts->remote, "h6vY");
    for (const char* bad : {"evtj", ":h6vY", "evtj:"})
        EXPECT_FALSE(SplitUsername(bad)) << bad;
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
        ASSERT_EQ(ours.size(), 20u + (sender.v6 ? 24 : 12) + 24 + 8);
        EXPECT_TRUE(LooksLikeStun(ours));
        EXPECT_EQ(ours[1], 0x01) << "a success response";
        EXPECT_EQ(ours[3], ours.size() - 20);
        EXPECT_EQ(Bytes(ours.begin() + 4, ours.begin() + 20), Bytes(vector.begin() + 4, vector.begin() + 20));
        const size_t address = sender.v6 ? 24 : 12;
        EXPECT_EQ(Bytes(ours.begin() + 20, ours.begin() + 20 + address), Bytes(vector.begin() + 36, vector.begin() + 36 + address));
        EXPECT_TRUE(VerifyMessageIntegrity(ours, ours.size() - 32, kVectorPassword));
        EXPECT_TRUE(VerifyFingerprint(ours, ours.size() - 8));
        EXPECT_FALSE(VerifyMessageIntegrity(ours, ours.size() - 32, "another password here!"));
    }
    EXPECT_TRUE(WriteBindingSuccess(kVectorTransaction, Endpoint::V4({127, 0, 0, 1}, 1), "").empty());
}

TEST(Stun, hostile_or_broken_requests_are_refused)
{
    ASSERT_TRUE(Accepted(Build(kBrowserCheck))) << "the baseline every case breaks one way";
    auto flipped = [](Bytes m, size_t at) { return m[at] ^= 1, m; };
    const Bytes base = Build(kBrowserCheck);
    std::string longName(514, 'a');
    longName[3] = ':';
    const std::pair<const char*, Bytes> cases[] = {
        {"a truncated header", Bytes(kSampleRequest.begin(), kSampleRequest.begin() + 19)},
        {"one byte short", Bytes(kSampleRequest.begin(), kSampleRequest.end() - 1)},
        {"four bytes short, the length lying", Bytes(kSampleRequest.begin(), kSampleRequest.end() - 4)},
        {"a length that is not a multiple of 4", [&] { Bytes m = base; m.push_back(0); return m[3] += 1, m; }()},
        {"the wrong cookie", flipped(kSampleRequest, 7)},
        {"top bits set", [&] { Bytes m = kSampleRequest; return m[0] = 0x40, m; }()},
        {"an indication, not a request", flipped(kSampleRequest, 1)},
        {"an attribute running past the end", [&] { Bytes m = kSampleRequest; return m[63] = 0x60, m; }()},
        {"integrity one bit off", Refingerprint(flipped(base, base.size() - 12))},
        {"a signed byte changed", Refingerprint(flipped(base, 25))},
        {"fingerprint one bit off", flipped(base, base.size() - 1)},
        {"fingerprint's input one bit off", flipped(base, 25)},
        {"a USERNAME over 513 bytes", Build(With({{0x0024, "abcd"}}, {0x0006, longName}))},
        {"an empty USERNAME", Build({{0x0006, ""}, {0x0024, "abcd"}})},
        {"no USERNAME", Build({{0x0024, "abcd"}})},
        {"no PRIORITY", Build({{0x0006, "ab:cd"}})},
        {"a short PRIORITY", Build({{0x0006, "ab:cd"}, {0x0024, "abc"}})},
        {"USE-CANDIDATE with a value", Build(With(kBrowserCheck, {0x0025, "x"}))},
        {"both ICE roles", Build(With(kBrowserCheck, {0x8029, "12345678"}))},
        {"a short tie breaker", Build({{0x0006, "ab:cd"}, {0x0024, "abcd"}, {0x8029, "1234567"}})},
        {"USERNAME twice", Build(With(kBrowserCheck, {0x0006, "srvUfrag:other"}))},
        {"an unknown comprehension-required attribute", Build(With(kBrowserCheck, {0x0003, "abcd"}))},
        {"no MESSAGE-INTEGRITY", Build(kBrowserCheck, false, true)},
        {"no FINGERPRINT", Build(kBrowserCheck, true, false)},
        {"an attribute after FINGERPRINT", [&] { Bytes m = base; m.insert(m.end(), {0x80, 0x22, 0, 0}); return SetLength(m), m; }()},
        {"an attribute between integrity and fingerprint",
         [] { Bytes m = Build(kBrowserCheck, true, false); m.insert(m.end(), {0x80, 0x22, 0, 0}); m.resize(m.size() + 8);
              return Refingerprint(m); }()},
        {"integrity of the wrong length", [] { auto m = Build(kBrowserCheck, false, false);
                                                 m.insert(m.end(), {0, 8, 0, 16}); m.resize(m.size() + 16); return SetLength(m), m; }()},
    };
    for (const auto& [name, datagram] : cases)
        EXPECT_FALSE(Accepted(datagram)) << name;
    longName.resize(513);
    EXPECT_TRUE(Accepted(Build(With({{0x0024, "abcd"}}, {0x0006, longName})))) << "513 bytes is the limit, not beyond it";
    EXPECT_EQ(ReadBindingRequest(base).value().role, IceRole::Controlling);
    EXPECT_TRUE(ReadBindingRequest(base).value().useCandidate);
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

TEST(Stun, looks_like_stun_tells_stun_from_dtls_and_native_datagrams)
{
    EXPECT_TRUE(LooksLikeStun(kSampleRequest));
    const Bytes dtls = {0x16, 0xfe, 0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x6c, 0x01, 0, 0, 0x60, 0, 0, 0};
    const Bytes native(20, 0); // the header's shape, lengths agreeing, but no cookie
    EXPECT_FALSE(LooksLikeStun(dtls));
    EXPECT_FALSE(LooksLikeStun(native));
    EXPECT_FALSE(LooksLikeStun(Bytes(kSampleRequest.begin(), kSampleRequest.begin() + 19)));
    Bytes headerOnly(kSampleRequest.begin(), kSampleRequest.begin() + 20);
    headerOnly[3] = 0;
    EXPECT_TRUE(LooksLikeStun(headerOnly));
}

TEST(Stun, endpoints_read_and_write_both_families)
{
    EXPECT_EQ(Endpoint::Parse("192.0.2.1", 9), Endpoint::V4({192, 0, 2, 1}, 9));
    EXPECT_EQ(Endpoint::Parse("::1", 9)->addressText(), "::1");
    EXPECT_TRUE(Endpoint::Parse("::1", 9)->v6);
    EXPECT_FALSE(Endpoint::Parse("192.0.2.256", 9));
}

// A real Chromium 156 offer, and one of Firefox's shape: fingerprint at session level,
// hex credentials, a huge message size.
const std::string kChromeOffer =
    "v=0\r\no=- 4887805539848089898 2 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\na=group:BUNDLE 0\r\na=extmap-allow-mixed\r\n"
    "a=msid-semantic: WMS\r\nm=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\nc=IN IP4 0.0.0.0\r\n"
    "a=ice-ufrag:Vq30\r\na=ice-pwd:hpPespC9IHCpAurJsaWC9ohJ\r\na=ice-options:trickle\r\n"
    "a=fingerprint:sha-256 4D:59:0D:63:C8:D8:49:1D:A4:35:C5:26:26:61:FE:50:CD:23:02:2B:B6:FE:4B:23:10:64:AC:89:D0:93:1E:CA\r\n"
    "a=setup:actpass\r\na=mid:0\r\na=sctp-port:5000\r\na=max-message-size:262144\r\n";
const std::string kFirefoxOffer =
    "v=0\r\no=mozilla...THIS_IS_SDPARTA-128.0 2785913307463283034 0 IN IP4 0.0.0.0\r\ns=-\r\nt=0 0\r\na=sendrecv\r\n"
    "a=fingerprint:sha-256 9f:1C:B2:04:7E:55:3A:60:11:D4:8B:E2:C9:0F:73:AA:5D:12:E8:4B:93:C6:0D:71:2F:A8:54:B9:E0:36:1D:C7\r\n"
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

TEST(Sdp, chrome_and_firefox_offers_read)
{
    const auto chrome = ReadOffer(kChromeOffer);
    ASSERT_TRUE(chrome);
    EXPECT_EQ(chrome->mid, "0");
    EXPECT_EQ(chrome->iceUfrag, "Vq30");
    EXPECT_EQ(chrome->icePwd, "hpPespC9IHCpAurJsaWC9ohJ");
    EXPECT_EQ(FingerprintText(chrome->fingerprint), kChromeOffer.substr(kChromeOffer.find("4D:59"), 95));
    EXPECT_EQ(chrome->setup, DtlsSetup::ActPass);
    EXPECT_EQ(chrome->sctpPort, 5000);
    EXPECT_EQ(chrome->maxMessageSize, 262144u);
    const auto firefox = ReadOffer(kFirefoxOffer);
    ASSERT_TRUE(firefox);
    EXPECT_EQ(firefox->iceUfrag, "3a1c9e5f");
    EXPECT_EQ(firefox->icePwd, "c55ab0b4b2ba2f0c4e1f7bd1cd3d4e6a");
    EXPECT_EQ(firefox->fingerprint[0], 0x9F);
    EXPECT_EQ(firefox->fingerprint[31], 0xC7);
    EXPECT_EQ(firefox->maxMessageSize, 1073741823u);

    std::string lf = kChromeOffer;
    std::erase(lf, '\r');
    EXPECT_TRUE(ReadOffer(lf)) << "LF alone ends lines too";
    const auto defaults = ReadOffer(Edit(Edit(Edit(kChromeOffer, "a=setup:actpass\r\n", ""), "a=sctp-port:5000\r\n", ""),
                                         "a=max-message-size:262144\r\n", ""));
    ASSERT_TRUE(defaults);
    EXPECT_EQ(defaults->setup, DtlsSetup::Active);
    EXPECT_EQ(defaults->maxMessageSize, 65536u);
    EXPECT_EQ(ReadOffer(Edit(kChromeOffer, "a=sctp-port:5000", "a=sctp-port:5001"))->sctpPort, 5001);
    const auto inMedia = ReadOffer(Edit(kFirefoxOffer, "a=mid:0\r\n", "a=mid:0\r\na=fingerprint:sha-256 " +
                                                                          FingerprintText({1}) + "\r\n"));
    EXPECT_EQ(inMedia->fingerprint, Sha256Fingerprint{1}) << "the section's fingerprint wins";
    const auto withSha1 = ReadOffer(Edit(kFirefoxOffer, "a=group", "a=fingerprint:sha-1 AB:CD\r\na=group"));
    EXPECT_EQ(withSha1->fingerprint, firefox->fingerprint) << "another hash beside sha-256 is no reason to refuse";
}

TEST(Sdp, offers_that_are_too_big_odd_or_carry_bad_credentials_are_refused_for_that_reason)
{
    const std::string fingerprint = kChromeOffer.substr(kChromeOffer.find("4D:59"), 95);
    std::string manyLines = kChromeOffer;
    for (int i = 0; i < 190; ++i)
        manyLines += "a=x\r\n";
    const std::tuple<const char*, std::string, std::string> cases[] = {
        {"4-char ufrag minus one", Edit(kChromeOffer, "ufrag:Vq30", "ufrag:Vq3"), "ice-ufrag"},
        {"a ufrag with a dash", Edit(kChromeOffer, "ufrag:Vq30", "ufrag:Vq-0"), "ice-ufrag"},
        {"a 257-char ufrag", Edit(kChromeOffer, "ufrag:Vq30", "ufrag:" + std::string(257, 'u')), "ice-ufrag"},
        {"no ufrag", Edit(kChromeOffer, "a=ice-ufrag:Vq30\r\n", ""), "ice-ufrag"},
        {"a 21-char pwd", Edit(kChromeOffer, "pwd:hpPespC9IHCpAurJsaWC9ohJ", "pwd:hpPespC9IHCpAurJsaWC"), "ice-pwd"},
        {"a 257-char pwd", Edit(kChromeOffer, "pwd:hpPespC9IHCpAurJsaWC9ohJ", "pwd:" + std::string(257, 'p')), "ice-pwd"},
        {"a pwd with a space", Edit(kChromeOffer, "pwd:hpPespC9IHCpAurJsaWC9ohJ", "pwd:hpPespC9IHCpAurJsaWC9 hJ"), "ice-pwd"},
        {"a ufrag twice", Edit(kChromeOffer, "a=mid:0", "a=mid:0\r\na=ice-ufrag:Vq31"), "repeated"},
        {"31 bytes of fingerprint", Edit(kChromeOffer, ":1E:CA", ":1E"), "fingerprint"},
        {"a fingerprint not in hex", Edit(kChromeOffer, ":1E:CA", ":1E:CG"), "fingerprint"},
        {"a fingerprint with a dash", Edit(kChromeOffer, "D0:93:", "D0-93:"), "fingerprint"},
        {"only sha-1", Edit(kChromeOffer, "sha-256 " + fingerprint, "sha-1 4D:59:0D:63:C8:D8:49:1D:A4:35:C5:26:26:61:FE:50:CD:23:02:2B"), "fingerprint"},
        {"a passive offerer", Edit(kChromeOffer, "setup:actpass", "setup:passive"), "setup"},
        {"no mid", Edit(kChromeOffer, "a=mid:0\r\n", ""), "mid"},
        {"a mid with a space", Edit(kChromeOffer, "a=mid:0", "a=mid:0 1"), "mid"},
        {"a 33-char mid", Edit(kChromeOffer, "a=mid:0", "a=mid:" + std::string(33, 'm')), "mid"},
        {"an audio section too", kChromeOffer + "m=audio 9 UDP/TLS/RTP/SAVPF 111\r\n", "more than one"},
        {"only an audio section", Edit(kChromeOffer, "m=application 9 UDP/DTLS/SCTP webrtc-datachannel", "m=audio 9 UDP/TLS/RTP/SAVPF 111"), "other than"},
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
        {"a line over 4 KiB", kChromeOffer + "a=x:" + std::string(4 * 1024, 'x') + "\r\n", "line too long"},
        {"over 200 lines", manyLines, "too many lines"},
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
              "v=0\r\no=- 9223372036854775807 2 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\na=group:BUNDLE data\r\na=ice-lite\r\n"
              "a=msid-semantic: WMS\r\nm=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\nc=IN IP4 0.0.0.0\r\n"
              "a=mid:data\r\na=ice-ufrag:wxyz0123\r\na=ice-pwd:456789+/ABCDEFGHIJKLMNOP\r\n"
              "a=fingerprint:sha-256 AB:01:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00:00\r\n"
              "a=setup:passive\r\na=sctp-port:5000\r\na=max-message-size:262144\r\n"
              "a=candidate:1 1 udp 2130706431 203.0.113.7 7777 typ host\r\n"
              "a=candidate:2 1 udp 2130706175 2001:db8::7 7777 typ host\r\na=end-of-candidates\r\n");
    random.fill(0xFF);
    EXPECT_EQ(MakeIceCredentials(random).pwd, std::string(24, '/')) << "every byte lands on an ice-char";
}

} // namespace
} // namespace rtc

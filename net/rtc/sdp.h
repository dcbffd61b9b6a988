#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/rtc/stun.h"

namespace rtc {

// Bounds on a browser's offer: real ones are 500 to 1500 bytes and 15 to 25 lines.
constexpr size_t kMaxOfferBytes = 16 * 1024;
constexpr size_t kMaxOfferLineBytes = 4 * 1024;
constexpr size_t kMaxOfferLines = 200;
constexpr size_t kMaxMidBytes = 32;

using Sha256Fingerprint = std::array<uint8_t, 32>;

enum class DtlsSetup : uint8_t { ActPass, Active };

// What a browser's offer of one data channel tells us, every field checked.
struct Offer {
    std::string mid;
    std::string iceUfrag; // 4 to 256 ice-chars
    std::string icePwd;   // 22 to 256 ice-chars
    Sha256Fingerprint fingerprint{}; // of the certificate its DTLS handshake must show
    DtlsSetup setup = DtlsSetup::ActPass;
    uint16_t sctpPort = 5000;
    // The largest message it takes; 0 means any size (RFC 8841).
    uint64_t maxMessageSize = 65536;
};

// Reads an offer made by new RTCPeerConnection(), createDataChannel() and createOffer()
// (lines end in CRLF or LF). It must have exactly one media section, the data channel's
// (an answer has to list as many sections as the offer, and we answer with one), and
// ask us to be the DTLS server (setup actpass or active; no setup means active). ICE
// credentials and fingerprint may be at session or media level, the media level's
// winning. On refusal, *why (if given) names the reason.
std::optional<Offer> ReadOffer(std::string_view sdp, std::string_view* why = nullptr);

struct IceCredentials {
    std::string ufrag;
    std::string pwd;
};

// ufrag 8 and pwd 24 ice-chars, one from each random byte: 64 ice-chars, so the low six
// bits pick one evenly and the pwd carries 144 bits (ICE asks for at least 128).
constexpr size_t kIceRandomBytes = 32;
IceCredentials MakeIceCredentials(std::span<const uint8_t, kIceRandomBytes> random);

struct AnswerParams {
    IceCredentials ice;
    Sha256Fingerprint fingerprint{}; // of our DTLS certificate
    uint64_t sessionId = 0;          // random; SDP wants it below 2^63
    uint64_t maxMessageSize = 65536;
    // Where the browser may reach us, best first.
    std::vector<Endpoint> candidates;
};

// The answer to an offer ReadOffer accepted: ICE-lite, DTLS passive (we are the DTLS
// server), one host candidate per address, and no more candidates to come.
std::string WriteAnswer(const Offer& offer, const AnswerParams& params);

// The browser's side, for tools and tests that play one: an offer shaped as Chromium
// makes it for one data channel (setup actpass, SCTP port 5000, 256 KiB messages).
std::string WriteOffer(const IceCredentials& ice, const Sha256Fingerprint& fingerprint, uint64_t sessionId);

// What an answer tells the browser: whom to check and whose certificate to expect.
struct Answer {
    IceCredentials ice;
    Sha256Fingerprint fingerprint{};
    Endpoint candidate; // the first UDP host candidate
};
// Reads an answer such as WriteAnswer makes; nothing when any of its parts is missing.
std::optional<Answer> ReadAnswer(std::string_view sdp);

// "AB:CD:..." as a=fingerprint writes it.
std::string FingerprintText(const Sha256Fingerprint& fingerprint);

} // namespace rtc

#include "net/rtc/sdp.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <vector>

namespace rtc {
namespace {

constexpr std::string_view kIceChars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
static_assert(kIceChars.size() == 64);

// The next line of sdp, taken off its front, without its CRLF or LF.
std::string_view TakeLine(std::string_view& sdp)
{
    const size_t newline = sdp.find('\n');
    std::string_view line = sdp.substr(0, newline);
    sdp.remove_prefix(newline == std::string_view::npos ? sdp.size() : newline + 1);
    if (line.ends_with('\r'))
        line.remove_suffix(1);
    return line;
}

bool AllIceChars(std::string_view text, size_t least, size_t most)
{
    return text.size() >= least && text.size() <= most && text.find_first_not_of(kIceChars) == std::string_view::npos;
}

// RFC 8866's token: what a=mid may hold, and so what we echo into the answer.
bool IsToken(std::string_view text)
{
    if (text.empty() || text.size() > kMaxMidBytes)
        return false;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x21 || u > 0x7E || c == '"' || c == '(' || c == ')' || c == ',' || c == '/' ||
            (c >= ':' && c <= '@') || c == '[' || c == '\\' || c == ']')
            return false;
    }
    return true;
}

std::optional<uint64_t> Number(std::string_view text)
{
    uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end)
        return std::nullopt;
    return value;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// "AB:CD:..." with exactly 32 pairs.
std::optional<Sha256Fingerprint> ReadFingerprint(std::string_view text)
{
    Sha256Fingerprint out;
    if (text.size() != out.size() * 3 - 1)
        return std::nullopt;
    for (size_t i = 0; i < out.size(); ++i) {
        const int high = HexDigit(text[3 * i]);
        const int low = HexDigit(text[3 * i + 1]);
        if (high < 0 || low < 0 || (i + 1 < out.size() && text[3 * i + 2] != ':'))
            return std::nullopt;
        out[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return out;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
        if (x != b[i])
            return false;
    }
    return true;
}

// What the session level or the data channel's section said; the section's win.
struct Level {
    std::optional<std::string_view> ufrag, pwd, setup, mid, sctpPort, maxMessageSize;
    std::optional<Sha256Fingerprint> fingerprint;
};

// One a= line into its level; false (and a reason) for what must not be.
bool ReadAttribute(std::string_view attribute, Level& level, std::string_view& why)
{
    const size_t colon = attribute.find(':');
    const std::string_view name = attribute.substr(0, colon);
    const std::string_view value = colon == std::string_view::npos ? std::string_view() : attribute.substr(colon + 1);
    std::optional<std::string_view>* slot = nullptr;
    if (name == "ice-ufrag")
        slot = &level.ufrag;
    else if (name == "ice-pwd")
        slot = &level.pwd;
    else if (name == "setup")
        slot = &level.setup;
    else if (name == "mid")
        slot = &level.mid;
    else if (name == "sctp-port")
        slot = &level.sctpPort;
    else if (name == "max-message-size")
        slot = &level.maxMessageSize;
    else if (name == "fingerprint") {
        // Other hash functions are no use to us and their syntax none of our concern; a
        // sha-256 one must be right, and the first one counts.
        const size_t space = value.find(' ');
        if (space == std::string_view::npos || !EqualsIgnoringCase(value.substr(0, space), "sha-256"))
            return true;
        const auto fingerprint = ReadFingerprint(value.substr(space + 1));
        if (!fingerprint) {
            why = "malformed sha-256 fingerprint";
            return false;
        }
        if (!level.fingerprint)
            level.fingerprint = fingerprint;
        return true;
    }
    if (slot == nullptr)
        return true;
    if (*slot) {
        why = "an attribute repeated";
        return false;
    }
    *slot = value;
    return true;
}

bool IsDataChannelSection(std::string_view media)
{
    // "application <port> UDP/DTLS/SCTP webrtc-datachannel", a port of 0 meaning refused.
    constexpr std::string_view head = "application ";
    constexpr std::string_view tail = " UDP/DTLS/SCTP webrtc-datachannel";
    if (media.size() <= head.size() + tail.size() || !media.starts_with(head) || !media.ends_with(tail))
        return false;
    const auto port = Number(media.substr(head.size(), media.size() - head.size() - tail.size()));
    return port && *port > 0 && *port <= std::numeric_limits<uint16_t>::max();
}

std::optional<Offer> Check(const Level& session, const Level& media, std::string_view& why)
{
    Offer offer;
    const auto ufrag = media.ufrag ? media.ufrag : session.ufrag;
    const auto pwd = media.pwd ? media.pwd : session.pwd;
    const auto fingerprint = media.fingerprint ? media.fingerprint : session.fingerprint;
    const std::string_view setup = media.setup ? *media.setup : session.setup.value_or("active");
    if (!media.mid || !IsToken(*media.mid))
        why = "a=mid missing or not a short token";
    else if (!ufrag || !AllIceChars(*ufrag, 4, 256))
        why = "ice-ufrag missing or not 4 to 256 ice-chars";
    else if (!pwd || !AllIceChars(*pwd, 22, 256))
        why = "ice-pwd missing or not 22 to 256 ice-chars";
    else if (!fingerprint)
        why = "no sha-256 fingerprint";
    else if (setup != "actpass" && setup != "active")
        why = "setup neither actpass nor active";
    if (!why.empty())
        return std::nullopt;
    offer.mid = *media.mid;
    offer.iceUfrag = *ufrag;
    offer.icePwd = *pwd;
    offer.fingerprint = *fingerprint;
    offer.setup = setup == "active" ? DtlsSetup::Active : DtlsSetup::ActPass;
    if (media.sctpPort) {
        const auto port = Number(*media.sctpPort);
        if (!port || *port == 0 || *port > std::numeric_limits<uint16_t>::max()) {
            why = "sctp-port not a port";
            return std::nullopt;
        }
        offer.sctpPort = static_cast<uint16_t>(*port);
    }
    if (media.maxMessageSize) {
        const auto size = Number(*media.maxMessageSize);
        if (!size) {
            why = "max-message-size not a number";
            return std::nullopt;
        }
        offer.maxMessageSize = *size;
    }
    return offer;
}

} // namespace

std::optional<Offer> ReadOffer(std::string_view sdp, std::string_view* why)
{
    std::string_view reason;
    auto refuse = [&](std::string_view text) -> std::optional<Offer> {
        if (why != nullptr)
            *why = text;
        return std::nullopt;
    };
    if (sdp.size() > kMaxOfferBytes)
        return refuse("offer too long");
    Level session, media;
    bool inMedia = false;
    size_t lines = 0;
    while (!sdp.empty()) {
        const std::string_view line = TakeLine(sdp);
        if (line.empty())
            continue;
        if (++lines > kMaxOfferLines)
            return refuse("too many lines");
        if (line.size() > kMaxOfferLineBytes)
            return refuse("a line too long");
        if (line.size() < 2 || line[0] < 'a' || line[0] > 'z' || line[1] != '=' ||
            line.find_first_of(std::string_view("\r\0", 2)) != std::string_view::npos)
            return refuse("not a line of SDP");
        if (lines == 1 && line != "v=0")
            return refuse("not SDP version 0");
        const std::string_view value = line.substr(2);
        if (line[0] == 'm') {
            if (inMedia)
                return refuse("more than one media section");
            if (!IsDataChannelSection(value))
                return refuse("a media section other than a data channel");
            inMedia = true;
        } else if (line[0] == 'a' && !ReadAttribute(value, inMedia ? media : session, reason)) {
            return refuse(reason);
        }
    }
    if (lines == 0)
        return refuse("not SDP version 0");
    if (!inMedia)
        return refuse("no data channel section");
    auto offer = Check(session, media, reason);
    if (!offer)
        return refuse(reason);
    return offer;
}

IceCredentials MakeIceCredentials(std::span<const uint8_t, kIceRandomBytes> random)
{
    IceCredentials credentials;
    for (size_t i = 0; i < random.size(); ++i)
        (i < 8 ? credentials.ufrag : credentials.pwd).push_back(kIceChars[random[i] & 63]);
    return credentials;
}

std::string FingerprintText(const Sha256Fingerprint& fingerprint)
{
    constexpr std::string_view digits = "0123456789ABCDEF";
    std::string text;
    for (const uint8_t byte : fingerprint) {
        if (!text.empty())
            text.push_back(':');
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 15]);
    }
    return text;
}

std::string WriteAnswer(const Offer& offer, const AnswerParams& params)
{
    const uint64_t sessionId = params.sessionId & static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    std::string sdp;
    auto line = [&sdp](std::string_view text) {
        sdp.append(text);
        sdp.append("\r\n");
    };
    line("v=0");
    line("o=- " + std::to_string(sessionId) + " 2 IN IP4 127.0.0.1");
    line("s=-");
    line("t=0 0");
    line("a=group:BUNDLE " + offer.mid);
    line("a=ice-lite");
    line("a=msid-semantic: WMS");
    line("m=application 9 UDP/DTLS/SCTP webrtc-datachannel");
    line("c=IN IP4 0.0.0.0");
    line("a=mid:" + offer.mid);
    line("a=ice-ufrag:" + params.ice.ufrag);
    line("a=ice-pwd:" + params.ice.pwd);
    line("a=fingerprint:sha-256 " + FingerprintText(params.fingerprint));
    line("a=setup:passive");
    line("a=sctp-port:5000");
    line("a=max-message-size:" + std::to_string(params.maxMessageSize));
    // Host candidates only (we are ICE-lite), each address its own foundation, and the
    // local preference falling with the order given so the browser tries the first first.
    constexpr uint32_t kHostPriority = 2130706431; // type 126, local preference 65535, component 1
    for (size_t i = 0; i < params.candidates.size(); ++i) {
        const Endpoint& candidate = params.candidates[i];
        const uint32_t priority = kHostPriority - static_cast<uint32_t>(std::min<size_t>(i, 65535) << 8);
        line("a=candidate:" + std::to_string(i + 1) + " 1 udp " + std::to_string(priority) + " " +
             candidate.addressText() + " " + std::to_string(candidate.port) + " typ host");
    }
    line("a=end-of-candidates");
    return sdp;
}

std::string WriteOffer(const IceCredentials& ice, const Sha256Fingerprint& fingerprint, uint64_t sessionId)
{
    const uint64_t id = sessionId & static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    return "v=0\r\n"
           "o=- " + std::to_string(id) + " 2 IN IP4 127.0.0.1\r\n"
           "s=-\r\n"
           "t=0 0\r\n"
           "a=group:BUNDLE 0\r\n"
           "a=extmap-allow-mixed\r\n"
           "a=msid-semantic: WMS\r\n"
           "m=application 9 UDP/DTLS/SCTP webrtc-datachannel\r\n"
           "c=IN IP4 0.0.0.0\r\n"
           "a=ice-ufrag:" + ice.ufrag + "\r\n"
           "a=ice-pwd:" + ice.pwd + "\r\n"
           "a=ice-options:trickle\r\n"
           "a=fingerprint:sha-256 " + FingerprintText(fingerprint) + "\r\n"
           "a=setup:actpass\r\n"
           "a=mid:0\r\n"
           "a=sctp-port:5000\r\n"
           "a=max-message-size:262144\r\n";
}

std::optional<Answer> ReadAnswer(std::string_view sdp)
{
    Answer answer;
    bool fingerprint = false, candidate = false;
    while (!sdp.empty()) {
        const std::string_view line = TakeLine(sdp);
        auto after = [&line](std::string_view prefix) {
            return line.starts_with(prefix) ? std::optional(line.substr(prefix.size())) : std::nullopt;
        };
        if (auto ufrag = after("a=ice-ufrag:"))
            answer.ice.ufrag = *ufrag;
        else if (auto pwd = after("a=ice-pwd:"))
            answer.ice.pwd = *pwd;
        else if (auto print = after("a=fingerprint:sha-256 ")) {
            auto read = ReadFingerprint(*print);
            fingerprint = read.has_value();
            answer.fingerprint = read.value_or(Sha256Fingerprint{});
        } else if (auto found = after("a=candidate:"); found && !candidate) {
            // foundation component transport priority address port "typ" type
            std::vector<std::string_view> words;
            for (size_t at = 0; at <= found->size() && words.size() < 8;) {
                const size_t space = std::min(found->find(' ', at), found->size());
                words.push_back(found->substr(at, space - at));
                at = space + 1;
            }
            const auto port = words.size() == 8 ? Number(words[5]) : std::nullopt;
            if (words.size() == 8 && EqualsIgnoringCase(words[2], "udp") && port && *port > 0 && *port <= 65535)
                if (auto endpoint = Endpoint::Parse(words[4], static_cast<uint16_t>(*port))) {
                    answer.candidate = *endpoint;
                    candidate = true;
                }
        }
    }
    if (answer.ice.ufrag.empty() || answer.ice.pwd.empty() || !fingerprint || !candidate)
        return std::nullopt;
    return answer;
}

} // namespace rtc

#include "net/server/rtc_door.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <unordered_map>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "net/rtc/data_channel.h"
#include "net/rtc/dtls.h"
#include "net/rtc/sdp.h"
#include "net/rtc/stun.h"
#include "protocol/codec.h"
#include "protocol/version3.h"

namespace skirmish {
namespace {

using Json = nlohmann::json;

// The largest message on a channel, one datagram: a state (at most about 1,100 bytes) fits.
constexpr uint64_t kMaxChannelMessageBytes = rtc::DataChannelLink::kMaxMessage;

std::string Reply(std::string_view key, std::string_view value)
{
    return Json{{key, value}}.dump(-1, ' ', false, Json::error_handler_t::replace);
}

rtc::Endpoint EndpointOf(const UdpAddress& address)
{
    std::array<uint8_t, 4> ip{};
    std::memcpy(ip.data(), &address.host, 4); // network order, as the socket has it
    return rtc::Endpoint::V4(ip, address.port);
}

uint64_t KeyOf(const UdpAddress& address) { return uint64_t{address.host} << 16 | address.port; }

// The browser reached our TCP port at this address: it reaches the UDP port there too.
// ENet's socket is IPv4 only, so an IPv6 address (bar a mapped IPv4 one) gives none.
std::optional<rtc::Endpoint> CandidateOf(std::string address, uint16_t port)
{
    constexpr std::string_view kMapped = "::ffff:";
    if (address.starts_with(kMapped) && address.find('.') != std::string::npos)
        address.erase(0, kMapped.size());
    std::optional<rtc::Endpoint> candidate = rtc::Endpoint::Parse(address, port);
    if (candidate && candidate->v6)
        return std::nullopt;
    return candidate;
}

// Only acknowledgements of states ride the channel towards us: anything else is the
// WebSocket's, in order with the commands. The packet is framed as version 3 frames it,
// as the layer above will read it.
bool OnlyAcknowledgements(std::span<const uint8_t> packet)
{
    bool any = false;
    for (size_t pos = 0; auto message = NextMessage(packet, pos, WireVersion::V3);) {
        if (!v3::ReadStateAck(*message))
            return false;
        any = true;
    }
    return any;
}

} // namespace

struct RtcDoor::Inside {
    struct Session {
        rtc::IceCredentials ice;
        std::string peerUfrag;
        rtc::Fingerprint peerFingerprint{};
        std::optional<UdpAddress> address;
        std::unique_ptr<rtc::DataChannelLink> link;
        int64_t openBy = 0; // on the door's clock
        std::optional<int64_t> heardAt; // the door's clock when the channel last brought something, or first carried a state
        int unansweredStates = 0; // sent on it since
    };

    Wiring wiring;
    uint16_t port;
    // Made when the first browser needs them: a match no browser asks of costs nothing.
    std::shared_ptr<rtc::SctpStack> sctp;
    std::shared_ptr<const rtc::Certificate> certificate;
    std::unordered_map<int, Session> sessions;    // by connection id
    std::unordered_map<int, int> offers;          // made, by connection id
    std::unordered_map<std::string, int> byUfrag; // our ufrag of each session: its id
    std::unordered_map<uint64_t, int> byAddress;  // the address a check proved: its id
    int64_t clockMs = 0;                          // the door's own count, from the loop's wrapping readings
    std::optional<int32_t> lastReading;
    int64_t serviceAt = 0; // when the sessions' timers are next walked
    // What the links heard, passed on once they are done: the layer above may end a
    // connection, and so a session, in answer.
    std::vector<std::pair<int, Bytes>> delivered;

    void passOn()
    {
        for (auto& [id, packet] : std::exchange(delivered, {}))
            wiring.deliver(id, packet);
    }

    // The loop's clock is 32 bits of milliseconds that wrap; the links want a count.
    std::chrono::milliseconds advance(int32_t now)
    {
        if (lastReading)
            clockMs += static_cast<int32_t>(static_cast<uint32_t>(now) - static_cast<uint32_t>(*lastReading));
        lastReading = now;
        return std::chrono::milliseconds(clockMs);
    }

    void close(int id)
    {
        auto found = sessions.find(id);
        if (found == sessions.end())
            return;
        byUfrag.erase(found->second.ice.ufrag);
        if (found->second.address)
            byAddress.erase(KeyOf(*found->second.address));
        sessions.erase(found);
    }

    std::string offer(int id, std::string_view text, const std::string& localAddress, int32_t now)
    {
        if (++offers[id] > kRtcOffersPerConnection)
            return Reply("error", "Too many offers");
        Json message = Json::parse(text, nullptr, false);
        if (!message.is_object() || !message.contains("offer") || !message["offer"].is_string())
            return Reply("error", "Expected {\"offer\": SDP}");
        std::string_view why;
        std::optional<rtc::Offer> offer = rtc::ReadOffer(message["offer"].get_ref<const std::string&>(), &why);
        if (!offer)
            return Reply("error", "Bad offer: " + std::string(why));
        if (offer->maxMessageSize != 0 && offer->maxMessageSize < kMaxChannelMessageBytes)
            return Reply("error", "Messages would be too small");
        std::optional<rtc::Endpoint> candidate = CandidateOf(localAddress, port);
        if (!candidate)
            return Reply("error", "No IPv4 address for datagrams");
        close(id);
        std::array<uint8_t, rtc::kIceRandomBytes + 8> random{};
        if (!wiring.random(random))
            return Reply("error", "No random bytes");
        rtc::AnswerParams params;
        params.ice = rtc::MakeIceCredentials(std::span(random).first<rtc::kIceRandomBytes>());
        if (byUfrag.count(params.ice.ufrag))
            return Reply("error", "Try again"); // 48 random bits met another session's
        std::memcpy(&params.sessionId, random.data() + rtc::kIceRandomBytes, 8);
        params.sessionId >>= 1;
        try {
            if (!certificate)
                certificate = rtc::Certificate::Generate();
        } catch (const std::exception&) {
            return Reply("error", "No certificate");
        }
        params.fingerprint = certificate->fingerprint();
        params.maxMessageSize = kMaxChannelMessageBytes;
        params.candidates.push_back(*candidate);
        Session& session = sessions[id];
        session.ice = params.ice;
        session.peerUfrag = offer->iceUfrag;
        session.peerFingerprint = offer->fingerprint;
        session.openBy = advance(now).count() + kRtcOpenMs;
        serviceAt = std::min(serviceAt, session.openBy);
        byUfrag[session.ice.ufrag] = id;
        return Reply("answer", rtc::WriteAnswer(*offer, params));
    }

    // A connectivity check: answered when it names a session and proves its password.
    // The first from an address binds the session there; a nominating one moves it.
    bool check(const UdpAddress& from, std::span<const uint8_t> datagram, int32_t now)
    {
        std::optional<rtc::BindingRequest> request = rtc::ReadBindingRequest(datagram);
        if (!request)
            return false;
        // We are ICE-lite, always the controlled side: a peer that says so too is in a
        // role conflict we never resolve, and gets no answer.
        if (request->role == rtc::IceRole::Controlled)
            return true;
        std::optional<rtc::UsernameParts> name = rtc::SplitUsername(request->username);
        auto owner = name ? byUfrag.find(std::string(name->local)) : byUfrag.end();
        if (owner == byUfrag.end())
            return true; // STUN, but no session of ours: not answered
        const int id = owner->second;
        Session& session = sessions.at(id);
        if (name->remote != session.peerUfrag || !rtc::VerifyBindingRequest(datagram, *request, session.ice.pwd))
            return true;
        auto boundTo = byAddress.find(KeyOf(from));
        if (boundTo != byAddress.end() && boundTo->second != id)
            return true; // another session holds this address
        if (!session.address || (request->useCandidate && !(*session.address == from))) {
            if (session.address)
                byAddress.erase(KeyOf(*session.address));
            session.address = from;
            byAddress[KeyOf(from)] = id;
        }
        std::vector<uint8_t> success = rtc::WriteBindingSuccess(request->transaction, EndpointOf(from), session.ice.pwd);
        wiring.sendDatagram(from, success);
        if (!session.link)
            session.link = makeLink(id, session, advance(now));
        return true;
    }

    std::unique_ptr<rtc::DataChannelLink> makeLink(int id, Session& session, std::chrono::milliseconds now)
    {
        rtc::DataChannelLink::Callbacks callbacks;
        callbacks.sendDatagram = [this, id](std::span<const uint8_t> datagram) {
            auto found = sessions.find(id);
            if (found != sessions.end() && found->second.address)
                wiring.sendDatagram(*found->second.address, datagram);
        };
        callbacks.onMessage = [this, id](std::span<const uint8_t> message) {
            Session& heard = sessions.at(id);
            heard.heardAt = clockMs;
            heard.unansweredStates = 0;
            if (OnlyAcknowledgements(message))
                delivered.emplace_back(id, Bytes(message.begin(), message.end()));
        };
        if (!sctp)
            sctp = rtc::SharedSctpStack();
        auto link = std::make_unique<rtc::DataChannelLink>(*sctp, certificate, session.peerFingerprint,
                                                           rtc::DataChannelLink::Role::Server, std::move(callbacks), now);
        link->start(now);
        return link;
    }

    bool take(const UdpAddress& from, std::span<const uint8_t> datagram, int32_t now)
    {
        if (rtc::LooksLikeStun(datagram))
            return check(from, datagram, now);
        auto owner = byAddress.find(KeyOf(from));
        // DTLS records start with a content type of 20 to 63.
        if (owner == byAddress.end() || datagram.empty() || datagram[0] < 20 || datagram[0] > 63)
            return false;
        Session& session = sessions.at(owner->second);
        if (session.link)
            session.link->receiveDatagram(datagram, advance(now));
        return true;
    }

    // Every session's timers, at most once a kRtcTimerEveryMs (or when a handshake's
    // resend is due): a pass of the loop comes far more often, and a walk reads every
    // link's socket.
    void service(int32_t now)
    {
        const std::chrono::milliseconds at = advance(now);
        if (sessions.empty() || clockMs < serviceAt)
            return;
        if (sctp)
            sctp->onTimer(at);
        std::vector<int> ended;
        for (auto& [id, session] : sessions) {
            if (session.link)
                session.link->onTimer(at);
            const bool open = session.link && session.link->state() == rtc::DataChannelLink::State::Open;
            const bool over = session.link && (session.link->state() == rtc::DataChannelLink::State::Failed ||
                                               session.link->state() == rtc::DataChannelLink::State::Closed ||
                                               (session.unansweredStates >= kRtcUnansweredStates &&
                                                clockMs - *session.heardAt >= kRtcUnansweredMs));
            if (over || (!open && clockMs >= session.openBy))
                ended.push_back(id);
        }
        for (int id : ended)
            close(id);
        serviceAt = clockMs + kRtcTimerEveryMs;
        for (const auto& [id, session] : sessions) {
            // An open channel's deadline has passed for good: counted, it would wake the loop at once, on every turn.
            if (!session.link || session.link->state() != rtc::DataChannelLink::State::Open)
                serviceAt = std::min(serviceAt, session.openBy);
            if (auto due = session.link ? session.link->nextDue() : std::nullopt)
                serviceAt = std::min<int64_t>(serviceAt, due->count());
        }
    }
};

RtcDoor::RtcDoor(Wiring wiring, uint16_t udpPort) : inside_(std::make_unique<Inside>())
{
    inside_->wiring = std::move(wiring);
    inside_->port = udpPort;
}

RtcDoor::~RtcDoor() = default;

std::string RtcDoor::signal(int id, std::string_view text, const std::string& localAddress, int32_t now)
{
    return inside_->offer(id, text, localAddress, now);
}

bool RtcDoor::take(const UdpAddress& from, std::span<const uint8_t> datagram, int32_t now)
{
    const bool taken = inside_->take(from, datagram, now);
    inside_->passOn();
    return taken;
}

bool RtcDoor::send(int id, std::span<const uint8_t> packet)
{
    auto found = inside_->sessions.find(id);
    if (found == inside_->sessions.end() || !found->second.link ||
        found->second.link->state() != rtc::DataChannelLink::State::Open)
        return false;
    Inside::Session& session = found->second;
    if (!session.heardAt)
        session.heardAt = inside_->clockMs;
    ++session.unansweredStates;
    return session.link->send(packet);
}

void RtcDoor::forget(int id)
{
    inside_->close(id);
    inside_->offers.erase(id);
}

void RtcDoor::service(int32_t now)
{
    inside_->service(now);
    inside_->passOn();
}

std::optional<int32_t> RtcDoor::msUntilDue(int32_t now) const
{
    if (inside_->sessions.empty())
        return std::nullopt;
    const int64_t clock = inside_->clockMs + (inside_->lastReading ? static_cast<int32_t>(static_cast<uint32_t>(now) -
                                                                                        static_cast<uint32_t>(*inside_->lastReading))
                                                                   : 0);
    return static_cast<int32_t>(std::clamp<int64_t>(inside_->serviceAt - clock, 0, kRtcTimerEveryMs));
}

size_t RtcDoor::sessionCount() const { return inside_->sessions.size(); }

size_t RtcDoor::openChannels() const
{
    return static_cast<size_t>(std::count_if(inside_->sessions.begin(), inside_->sessions.end(), [](const auto& entry) {
        return entry.second.link && entry.second.link->state() == rtc::DataChannelLink::State::Open;
    }));
}

} // namespace skirmish

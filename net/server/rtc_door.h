#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "net/server/transport.h"

namespace skirmish {

// An answered offer must see its first connectivity check, and its channel open, this soon.
constexpr int kRtcOpenMs = 10000;
// Offers one connection may make in its life: each replaces the one before, and a page
// makes one a link. Past it, the browser is told no.
constexpr int kRtcOffersPerConnection = 4;
// A page acknowledges on its channel each state it takes there. A channel that was sent
// this many states and has brought back nothing for the time below is one the page no
// longer reads (it gave up on it, and its goodbye was lost): the door closes it, and
// the states go on the WebSocket again.
constexpr int kRtcUnansweredStates = 8;
constexpr int kRtcUnansweredMs = 1000;
// SCTP's timers (its resends, its acknowledgements' delay, its heartbeats) run when the
// door is serviced: at least this often while a session lives.
constexpr int kRtcTimerEveryMs = 20;

// Browsers' datagrams, beside ENet on the game's UDP port: a version 3 browser offers a
// WebRTC data channel over its WebSocket, and the door answers as an ICE-lite endpoint
// with DTLS and SCTP over it. Its states then travel on the channel, unordered and never
// resent, and its acknowledgements come back the same way. Everything else stays on the
// WebSocket, which also carries the states whenever there is no open channel.
//
// Strangers cost little: a STUN check is answered only when it names an offer's
// credentials and proves its password, the answer is no bigger than the check, and DTLS
// is read only from an address such a check proved. Sessions are one per connection.
class RtcDoor {
public:
    struct Wiring {
        // Out of the UDP port.
        std::function<void(const UdpAddress& to, std::span<const uint8_t> datagram)> sendDatagram;
        // A packet of state acknowledgements that came over a channel (nothing else is passed on).
        std::function<void(int id, std::span<const uint8_t> packet)> deliver;
        // Fills the span with unpredictable bytes (ICE credentials, the session's id); false when it cannot.
        std::function<bool(std::span<uint8_t>)> random;
    };
    RtcDoor(Wiring wiring, uint16_t udpPort);
    ~RtcDoor();
    RtcDoor(const RtcDoor&) = delete;
    RtcDoor& operator=(const RtcDoor&) = delete;

    // A text frame of the connection id (a version 3 WebSocket that reached us at
    // localAddress): the text frame that answers it.
    std::string signal(int id, std::string_view text, const std::string& localAddress, int32_t now);
    // A datagram on the UDP port; true when it was the door's.
    bool take(const UdpAddress& from, std::span<const uint8_t> datagram, int32_t now);
    // Sends one packet on the connection's channel; false when it has none open.
    bool send(int id, std::span<const uint8_t> packet);
    // The connection ended: its channel closes.
    void forget(int id);
    // Timers: DTLS's and SCTP's resends, and sessions that never opened.
    void service(int32_t now);
    std::optional<int32_t> msUntilDue(int32_t now) const;
    size_t sessionCount() const;
    size_t openChannels() const;

    struct Inside;

private:
    std::unique_ptr<Inside> inside_;
};

} // namespace skirmish

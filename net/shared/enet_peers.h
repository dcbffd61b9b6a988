#pragma once

#include <enet/enet.h>
#include <enet/time.h>

namespace skirmish {

// What the server and the client half ask of every ENet peer they hold.

// A peer that answers is kept: ENet's own rule, which drops a peer when one
// reliable command stays unacknowledged for long, waits this long. Silence (no
// packet at all) is caught sooner by the holder's own 10 s rule.
constexpr enet_uint32 kUnacknowledgedTimeoutMs = 60000;

// ENet also throttles unreliable packets when round trips vary, dropping them before
// they are sent: a lossy link would then lose far more states than it drops. States
// are one small packet a tick, so they are never throttled (a deceleration of 0).
inline void KeepAnsweringPeers(ENetPeer* peer)
{
    enet_peer_timeout(peer, 1u << 20, kUnacknowledgedTimeoutMs, kUnacknowledgedTimeoutMs);
    enet_peer_throttle_configure(peer, ENET_PEER_PACKET_THROTTLE_INTERVAL, ENET_PEER_PACKET_THROTTLE_ACCELERATION, 0);
}

// ENet doubles a reliable command's resend delay at every loss, so four losses in
// a row hold everything queued behind it for seconds. Resends are capped at two of
// the peer's resend delays instead (or at the cap given): a lossy link then costs
// latency, not stalls.
void CapResendDelays(ENetPeer* peer);
void CapResendDelays(ENetPeer* peer, enet_uint32 capMs);

// The peer's own resend delay: its round trip and four of its variations.
inline enet_uint32 ResendDelayMs(const ENetPeer* peer) { return peer->roundTripTime + 4 * peer->roundTripTimeVariance; }

// Starts ENet once per process; false when it cannot.
bool EnsureEnetInitialised();

} // namespace skirmish

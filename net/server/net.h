#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "net/shared/limits.h"
#include "protocol/codec.h"

namespace skirmish {

class Transport;

// One client message as it arrived: who sent it and its bytes.
struct NetMessage {
    int from = 0;
    Bytes bytes;
};

// The server's network library: plain free functions over one process-wide host.
void NetSetPort(uint16_t port);
// At most this many players from one address (0: no cap); one more is refused as
// from a full server, with a console line. Spectators have a cap of their own.
constexpr int kDefaultMaxPerAddress = 16;
void NetSetMaxPerAddress(int count);
// At most this many spectators besides the players (0: none); one more is refused
// as from a full server.
constexpr int kDefaultMaxSpectators = 256;
void NetSetMaxSpectators(int count);
// At most this many spectators from one address (0: no cap), refused as above.
constexpr int kDefaultMaxSpectatorsPerAddress = 16;
void NetSetMaxSpectatorsPerAddress(int count);
// What one connection may hold unacknowledged beyond kMaxOutgoingBacklogBytes before
// it is dropped as stalled: the level's snapshot, which a big level makes larger than
// that cap, must reach every client whole.
void NetSetBacklogAllowance(size_t bytes);
bool NetHost(int playerCount);
std::string NetGetError();
bool NetConnected();
int NetPlayerJoined();
std::string NetGetPlayerIP(int id);
int NetPlayerLeft();
// The next spectator that connected, taken now: what is sent to its id from here on
// (its snapshot) reaches it before any message to all that follows, and every such
// message reaches it. 0 when none waits. A spectator's leave is never reported.
int NetSpectatorJoined();
// Takes the next waiting client message, the clients taking turns one message at a
// time; false when none waits or this pass has taken kMaxMessagesPerPass. The rest
// waits for the next pass (the next NetService or NetCollect starts one).
constexpr size_t kMaxMessagesPerPass = 4096;
bool NetGetMessage(NetMessage& message);
// Queues one message for one client, or for every joined client and every spectator;
// an overflowed one is dropped. Spectators share one copy of what is sent to all,
// gathered for kSpectatorFeedMs into packets larger than players' (up to
// kSpectatorPacketBytes), so that a crowd costs one write each a tick; each is sent
// a message within twice kSpectatorFeedMs, the crowd's writes spread over that time.
constexpr int kSpectatorFeedMs = 16;
constexpr size_t kSpectatorPacketBytes = 16 * 1024;
void NetSend(int id, const MessageWriter& message);
void NetSendAll(const MessageWriter& message);
// The game has taken this movement tick: version 3 clients' states carry it, so that
// they fly each projectile as far as the server has. Other players' "Moved" and
// "Rotated" reach a version 3 client as state (at most one a kStateIntervalMs, on a
// channel that never waits) instead of as messages; "ProjMove" does not reach it.
void NetTickTaken(int32_t tick);

// A wait with no time limit: only traffic (or a stop signal) ends it.
constexpr int kWaitForTraffic = -1;

// Sends what is packed and handles arrived traffic, waiting up to timeoutMs
// (or kWaitForTraffic) when nothing is pending. The main loop's only wait.
void NetService(int timeoutMs);
// Sends what is packed, then takes in traffic for timeoutMs whatever arrives, so
// that a busy loop handles input in batches rather than one message a pass; a step
// due at the reading dueMs ahead ends it sooner, as that reading comes.
void NetCollect(int timeoutMs, std::optional<int32_t> dueMs = std::nullopt);
// Delivers what is queued, disconnects every client and closes the host.
void NetShutdown();
// Makes NetConnected false from now on; safe to call from a signal handler.
void NetRequestStop();
// The UDP port the host is bound to (tests host on port 0).
uint16_t NetBoundPort();

// What the network layer has counted since the host opened.
struct NetStats {
    int enetPlayers = 0;
    int webPlayers = 0;
    int enetSpectators = 0;
    int webSpectators = 0;
    int bots = 0; // local clients seated, not counted as players above
    uint64_t messagesIn = 0;
    uint64_t bytesIn = 0;
    uint64_t messagesOut = 0;
    uint64_t bytesOut = 0;
    uint64_t refusedFull = 0;       // every id taken
    uint64_t refusedAddressCap = 0; // too many from one address
    uint64_t refusedSpectatorsFull = 0; // every spectator's place taken
    uint64_t refusedWebBusy = 0;    // the web front's places for connections not yet players taken
    uint64_t refusedBanned = 0;     // from a banned address
    uint64_t spectatorMessagesIgnored = 0;
    uint64_t droppedStalled = 0;    // stopped taking what it was sent
    uint64_t droppedSilent = 0;     // answered nothing for too long
    uint64_t droppedOversized = 0;  // sent a frame past the limit
    uint64_t commandsDropped = 0;   // commands past their sender's budget (limits.h), not handled
    int datagramChannels = 0;       // browsers' data channels open
    uint64_t statesOverDatagrams = 0; // states sent on them
};
NetStats NetGetStats();
// Players who are people (over ENet or the web), not bots: enetPlayers + webPlayers of
// NetGetStats, without walking the spectators' places.
int NetPeopleCount();

// What the web front answers a GET of one path with; the body is made at each request.
// A path ending in "/" with a file function is a folder of files read from disk as
// they stand at each request: the function opens the name after the folder and
// returns the descriptor (the front closes it), or -1 for a name it does not serve.
// Such files honour "Range: bytes=N-". Files, and pages whose body reads the disk
// (onDiskThread), are served on the web front's own disk thread, never the loop's:
// their functions must be safe to call from it.
struct WebPage {
    std::string contentType;
    std::function<std::string()> body;
    std::function<int(std::string_view name)> file = nullptr;
    bool onDiskThread = false;
    // Above 0: anyone may keep the answer this long and read it from any page (a
    // server list's); 0: kept by nobody.
    int maxAgeSeconds = 0;
};
using WebPages = std::map<std::string, WebPage, std::less<>>;
// The pages of the web front that the next NetHost opens on the TCP port of the
// same number as the game's, beside its WebSocket at /ws. No pages: no web front.
void NetSetWebPages(WebPages pages);
// The IPv4 address browsers are told to send their datagrams to (the next NetHost's);
// empty: the address each reached the web front at. For a host behind a NAT.
void NetSetDatagramAddress(std::string address);

// Operators' moderation. A connection from an address this says is banned is
// refused (ENet disconnect data 3, WebSocket close 4003); none set: nobody is.
void NetSetBanCheck(std::function<bool(const std::string& address)> banned);
// Ends a player's or a spectator's connection once what was sent to it has gone,
// saying why (limits.h); a player's end is then taken as a leave like any other.
void NetKick(int id, const Farewell& farewell);
// What the operator's status shows of one connection.
struct NetConnectionInfo {
    std::string address;
    bool web = false; // a browser's, over the web front
    std::optional<int> roundTripMs;
    int32_t connectedAt = 0; // clock reading
    bool bot = false;        // a client in this process
};
std::optional<NetConnectionInfo> NetGetConnection(int id);
// The id of every connection from one address, players' and spectators', joined or not yet.
std::vector<int> NetConnectionsFrom(const std::string& address);

// Clients in this process (the server's own bots). Each takes a player's id from the
// same pool and goes through the same joins, turns and leaves as any client; its
// packets are handled as a network client's, and what the server sends it is kept
// for it to take. A person who finds every seat taken is given the newest bot's: the
// bot's leave is reported first, then the person's join.
inline constexpr const char* kLocalAddress = "bot";
// A free player's id, or 0 when every seat is taken.
int NetConnectLocal();
// Whether the id is still held by a local client (not ended, not given to a person).
bool NetIsLocal(int id);
void NetLocalSend(int id, std::span<const uint8_t> packet);
// The packets sent to the local client since the last take.
std::vector<Bytes> NetLocalTake(int id);
// A local client ends as any client does, with NetKick.

// A descriptor whose readiness also ends the loop's wait (an operator's console, say).
struct Wake {
    int descriptor = -1;
    bool writable = false; // wait for room to write rather than for input
    // What the descriptor stands for, never reused: a number alone may be closed and
    // given to something new between two waits.
    uint64_t token = 0;
    bool operator==(const Wake&) const = default;
};
// Replaces the descriptors every later wait watches besides the transport's own.
void NetWakeOn(std::vector<Wake> wakes);

// Replaces the transport that the next NetHost opens (the in-memory one in tests),
// and clears every queue and id. nullptr goes back to ENet.
void NetUseTransport(std::unique_ptr<Transport> transport);

} // namespace skirmish

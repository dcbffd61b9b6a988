// The process-wide host behind the Net* operations: ids and the queues of joins,
// leaves and messages, and the one feed every spectator shares.
#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <deque>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/clock.h"
#include "core/console.h"
#include "protocol/codec.h"
#include "protocol/compact.h"
#include "protocol/names.h"
#include "protocol/version3.h"
#include "net/server/connection_table.h"
#include "net/server/enet_transport.h"
#include "net/server/host_transport.h"
#include "net/server/motion_state.h"
#include "net/server/net.h"
#include "net/server/spectator_feed.h"
#include "net/server/transport.h"

namespace skirmish {
namespace {

class NetCore final : public TransportEvents {
public:
    uint16_t port = 0;
    std::unique_ptr<Transport> transport;
    std::string error;
    ConnectionTable connections;
    int maxSpectators = kDefaultMaxSpectators;
    std::deque<int> joins;
    std::deque<int> leaves;
    std::deque<int> spectatorJoins;
    // One feed a wire version, and the spectators taken by the loop, who are sent it.
    static constexpr std::array kVersions{WireVersion::V1, WireVersion::V2, WireVersion::V3};
    std::array<SpectatorFeed, 3> feeds{SpectatorFeed(WireVersion::V1), SpectatorFeed(WireVersion::V2),
                                       SpectatorFeed(WireVersion::V3)};
    SpectatorFeed& feedOf(WireVersion version) { return feeds[static_cast<size_t>(version) - 1]; }
    // Every player's motion as told to all, which version 3 clients are sent as state.
    MotionWorld motion;
    // Ids with messages to handle, in the order of their turns: each turn takes one
    // message and the id goes to the back, so no client waits behind another's flood.
    std::deque<int> turns;
    // Ids with messages to handle that have spent their credit, in the order they ran out.
    std::deque<int> resting;
    int32_t lastWake = 0;
    size_t passBudget = kMaxMessagesPerPass;
    volatile std::sig_atomic_t stopRequested = 0;

    int maxPerAddress = kDefaultMaxPerAddress; // players
    int maxSpectatorsPerAddress = kDefaultMaxSpectatorsPerAddress;
    // Refusals are written a few a second, whoever causes them; the metrics count every one.
    LineBudget refusalLines;
    NetStats stats;
    WebPages webPages;
    std::string datagramAddress;
    std::function<bool(const std::string&)> banned;
    std::vector<Wake> wakes;
    // What a connection may hold unacknowledged beyond kMaxOutgoingBacklogBytes: its snapshot.
    size_t backlogAllowance = 0;
    std::set<int> idsWithDrops; // clients with dropped commands not yet told of
    // The ends of a pass visit only these, not every place of the table (266 by default,
    // each a few hundred bytes, at every pass): ids whose packer took a message since the
    // last flush (unsorted, maybe repeated), and ids with a state to keep (ascending).
    std::vector<int> packing;
    std::vector<int> withMotion;
    std::vector<int> flushing, stating; // each list as its walk began
    std::vector<std::span<const uint8_t>> keptScratch; // admitted()'s, kept to spare an allocation a packet

    bool hasId(int id) const { return connections.hasId(id); }
    bool isSpectator(int id) const { return connections.isSpectator(id); }
    bool reachable(int id) const { return connections.reachable(id); }

    void release(int id)
    {
        idsWithDrops.erase(id);
        std::erase(withMotion, id);
        connections.release(id);
    }

    void keepMotion(int id, int subject)
    {
        connections[id].motion = std::make_shared<MotionLink>(subject);
        withMotion.insert(std::lower_bound(withMotion.begin(), withMotion.end(), id), id);
    }

    int onConnect(const std::string& address, ConnectRequest request) override
    {
        const Role role = request.role;
        if (banned && banned(address)) {
            ++stats.refusedBanned;
            return kRefusedBanned;
        }
        const bool spectator = role == Role::Spectator;
        const int cap = spectator ? maxSpectatorsPerAddress : maxPerAddress;
        if (cap > 0 && connections.heldFrom(address, spectator) >= cap) {
            reportWithheldRefusals(ReadClock());
            if (refusalLines.allow(ReadClock()))
                ConsoleLine("Connection from ", address, " refused: ", cap, spectator ? " spectators" : " players",
                            " are connected from that address already.");
            ++stats.refusedAddressCap;
            return 0;
        }
        if (int id = connections.firstFree(spectator); id != 0) {
            Connection& connection = connections[id];
            connection.state = IdState::Joining;
            connection.address = address;
            connection.connectedAt = ReadClock();
            connection.speak(request.version);
            (spectator ? spectatorJoins : joins).push_back(id);
            return id;
        }
        if (int id = spectator ? 0 : evictBot(address); id != 0) {
            connections[id].speak(request.version);
            return id;
        }
        ++(spectator ? stats.refusedSpectatorsFull : stats.refusedFull);
        return 0;
    }

    // A person who finds every seat taken takes the newest bot's: the bot's leave is
    // reported first (when the game had taken its join), then the person's join.
    int evictBot(const std::string& address)
    {
        for (int id = connections.playerSlots() - 1; id > 0; --id) {
            Connection& bot = connections[id];
            if (!bot.local || bot.closed || (bot.state != IdState::Joining && bot.state != IdState::Joined))
                continue;
            bool seated = bot.state == IdState::Joined;
            std::erase(turns, id);
            std::erase(resting, id);
            bot = Connection{};
            bot.state = IdState::Joining;
            bot.address = address;
            bot.connectedAt = ReadClock();
            bot.leavePending = seated;
            if (seated) {
                leaves.push_back(id);
                joins.push_back(id);
            }
            return id; // a bot not yet seated leaves its queued join to the person
        }
        return 0;
    }

    void reportWithheldRefusals(int32_t now)
    {
        if (uint64_t withheld = refusalLines.takeWithheld(now))
            ConsoleLine(withheld, " more refused connections in one second were not written.");
    }

    void onWebRefused() override { ++stats.refusedWebBusy; }

    void onDrop(DropCause cause) override
    {
        switch (cause) {
        case DropCause::Stalled:
            ++stats.droppedStalled;
            break;
        case DropCause::Silent:
            ++stats.droppedSilent;
            break;
        case DropCause::Oversized:
            ++stats.droppedOversized;
            break;
        }
    }

    void onDisconnect(int id) override
    {
        if (!hasId(id) || connections[id].state == IdState::Free || connections[id].closed)
            return;
        if (isSpectator(id)) {
            std::erase(spectatorJoins, id);
            feedOf(connections[id].version).leave(id);
            release(id);
            return;
        }
        // Its queued commands die with it: nothing it sent is handled after it has gone.
        Connection& connection = connections[id];
        connection.closed = true;
        connection.outgoing.clear();
        connection.inbox.clear();
        std::erase(turns, id);
        std::erase(resting, id);
        connection.inTurn = connection.resting = false;
        idsWithDrops.erase(id);
        leaves.push_back(id);
    }

    void onPacket(int id, std::span<const uint8_t> packet) override
    {
        if (!hasId(id) || connections[id].closed)
            return;
        Connection& connection = connections[id];
        if (connection.state != IdState::Joining && connection.state != IdState::Joined)
            return;
        stats.bytesIn += packet.size();
        if (isSpectator(id)) {
            for (size_t pos = 0; auto message = NextMessage(packet, pos, connection.version);)
                if (!tookAcknowledgement(connection, *message))
                    ++stats.spectatorMessagesIgnored;
            return;
        }
        connection.inbox.add(admitted(id, packet));
        if (connection.state == IdState::Joined)
            giveTurn(id);
    }

    // The packet's messages that their budgets admit: a command that would wait more
    // than kMaxCommandDelayMs behind the commands of its budget already admitted is
    // dropped now, counted, and its sender told at the end of the pass.
    Bytes admitted(int id, std::span<const uint8_t> packet)
    {
        Connection& connection = connections[id];
        const int32_t now = ReadClock();
        keptScratch.clear();
        size_t count = 0;
        size_t acknowledgements = 0;
        for (size_t pos = 0; auto message = NextMessage(packet, pos, connection.version); ++count)
            if (tookAcknowledgement(connection, *message))
                ++acknowledgements;
            else if (connection.budget.admit(*message, connection.version, now))
                keptScratch.push_back(*message);
        stats.messagesIn += count;
        if (keptScratch.size() == count)
            return Bytes(packet.begin(), packet.end());
        if (keptScratch.size() + acknowledgements < count) {
            idsWithDrops.insert(id);
            stats.commandsDropped += count - acknowledgements - keptScratch.size();
        }
        Bytes rebuilt;
        PacketPacker framer(SIZE_MAX, connection.version);
        for (std::span<const uint8_t> message : keptScratch)
            framer.add(message, [](Bytes&&) {});
        framer.flush([&](Bytes&& whole) { rebuilt = std::move(whole); });
        return rebuilt;
    }

    // A version 3 client's acknowledgement of a state is the network layer's own: the
    // game never sees it, and it costs no budget.
    bool tookAcknowledgement(Connection& connection, std::span<const uint8_t> message)
    {
        if (connection.version != WireVersion::V3)
            return false;
        auto number = v3::ReadStateAck(message);
        if (!number)
            return false;
        if (connection.motion)
            connection.motion->acknowledge(*number, ReadClock());
        return true;
    }

    // Tells each client whose commands were dropped how many, at most once a kDroppedCommandsNoticeMs.
    void tellDropped(int32_t now)
    {
        for (auto it = idsWithDrops.begin(); it != idsWithDrops.end();) {
            CommandBudget& budget = connections[*it].budget;
            if (budget.msUntilNotice(now) > 0) {
                ++it;
                continue;
            }
            MessageWriter notice;
            notice.putString(names::kPlayerMessage).putInt(0).putString(
                "Too many commands: " + std::to_string(budget.takeDropped(now)) + " of yours were dropped.");
            if (reachable(*it)) {
                Encodings encodings(notice);
                sendPacked(*it, encodings);
            }
            it = idsWithDrops.erase(it);
        }
    }

    // When the next notice of dropped commands is due, if one waits.
    std::optional<int> msUntilDropNotice(int32_t now) const
    {
        std::optional<int> due;
        for (int id : idsWithDrops)
            due = std::min(due.value_or(INT32_MAX), connections[id].budget.msUntilNotice(now));
        return due;
    }

    size_t waitingInput(int id) const override { return hasId(id) ? connections[id].inbox.bytes() : 0; }
    size_t backlogCap() const override { return kMaxOutgoingBacklogBytes + backlogAllowance; }

    void giveTurn(int id)
    {
        Connection& connection = connections[id];
        if (connection.inTurn || connection.resting || connection.inbox.empty())
            return;
        connection.inTurn = true;
        turns.push_back(id);
    }

    // A message in each version's layout, each made once, when first asked for; nothing
    // in a version that does not carry it.
    class Encodings {
    public:
        explicit Encodings(const MessageWriter& message) : message_(message) {}
        std::optional<std::span<const uint8_t>> in(WireVersion version)
        {
            if (version == WireVersion::V1)
                return message_.bytes();
            if (version == WireVersion::V2) {
                if (!compactDone_) {
                    compact::Encode(message_.bytes(), compact_);
                    compactDone_ = true;
                }
                return compact_;
            }
            if (!version3Done_) {
                carriedInVersion3_ = v3::Encode(message_, version3_);
                version3Done_ = true;
            }
            return carriedInVersion3_ ? std::optional(std::span<const uint8_t>(version3_)) : std::nullopt;
        }

    private:
        const MessageWriter& message_;
        // Flags beside plain buffers: GCC 12 at -O3 misreads an optional vector here.
        bool compactDone_ = false;
        bool version3Done_ = false;
        bool carriedInVersion3_ = false;
        Bytes compact_;
        Bytes version3_;
    };

    void sendPacked(int id, Encodings& message)
    {
        Connection& connection = connections[id];
        auto encoded = message.in(connection.version);
        if (!encoded)
            return;
        auto bytes = *encoded;
        ++stats.messagesOut;
        stats.bytesOut += bytes.size();
        if (connection.outgoing.empty())
            packing.push_back(id);
        connection.outgoing.add(bytes, [&](Bytes&& packet) { deliver(id, std::move(packet)); });
    }

    void deliver(int id, Bytes&& packet)
    {
        if (connections[id].local)
            connections[id].received.push_back(std::move(packet));
        else
            transport->sendPacket(id, std::move(packet));
    }

    void flush(int id)
    {
        connections[id].outgoing.flush([&](Bytes&& packet) { deliver(id, std::move(packet)); });
    }

    void flush()
    {
        if (!transport)
            return;
        // Taken out first: whatever a delivery sets off finds a list of its own.
        flushing.swap(packing);
        std::sort(flushing.begin(), flushing.end());
        flushing.erase(std::unique(flushing.begin(), flushing.end()), flushing.end());
        for (int id : flushing)
            flush(id);
        flushing.clear();
    }

    // Encoded once for each version in use, never once a client: every client, whatever
    // its version, is sent the same messages in the same order, but that a version 3
    // client has other players' motion as state and flies projectiles itself.
    void sendToAll(const MessageWriter& message)
    {
        Encodings encodings(message);
        int subject = 0;
        const MotionWorld::Kind kind = motion.observe(message.bytes(), subject);
        auto statesCarry = [&](WireVersion version, int id) {
            return version == WireVersion::V3 && kind != MotionWorld::Kind::Event &&
                   !(kind == MotionWorld::Kind::Motion && id == subject);
        };
        for (int id = 1; id < connections.playerSlots(); ++id)
            if (reachable(id) && !statesCarry(connections[id].version, id))
                sendPacked(id, encodings);
        for (WireVersion version : kVersions) {
            SpectatorFeed& feed = feedOf(version);
            if (feed.empty() || statesCarry(version, 0))
                continue;
            auto bytes = encodings.in(version);
            if (!bytes)
                continue;
            stats.messagesOut += feed.size();
            stats.bytesOut += feed.size() * bytes->size();
            feed.add(*bytes, ReadClock());
        }
    }

    // Each version 3 client whose state is due is sent it, after what was sent to it reliably.
    void sendStates(int32_t now)
    {
        // A copy: a send that ends a connection releases its id from the list.
        stating.assign(withMotion.begin(), withMotion.end());
        for (int id : stating) {
            Connection& connection = connections[id];
            if (!connection.motion || !connection.reachable())
                continue;
            std::optional<Bytes> state = connection.motion->build(motion, now);
            if (!state)
                continue;
            Bytes packet;
            compact::PutVarint(packet, static_cast<uint32_t>(state->size()));
            packet.insert(packet.end(), state->begin(), state->end());
            ++stats.messagesOut;
            stats.bytesOut += state->size();
            transport->sendUnreliable(id, std::move(packet));
        }
    }

    std::optional<int> msUntilStateDue(int32_t now) const
    {
        std::optional<int> due;
        for (int id : withMotion) {
            const Connection& connection = connections[id];
            if (!connection.motion || !connection.reachable())
                continue;
            if (auto at = connection.motion->dueAt(motion))
                due = std::min(due.value_or(INT32_MAX),
                               std::max(0, static_cast<int32_t>(static_cast<uint32_t>(*at) - static_cast<uint32_t>(now))));
        }
        return due;
    }

    // What was sent to a spectator alone (its snapshot) goes ahead of the feed.
    void deliverFeed(bool everything)
    {
        for (SpectatorFeed& feed : feeds)
            feed.deliver(ReadClock(), everything, [&](int id, const SharedPacket& packet) {
                flush(id);
                transport->sendShared(id, packet);
            });
    }

    // An id out of credit leaves the turns until it has earned a command's worth.
    void rest(int id)
    {
        connections[id].resting = true;
        resting.push_back(id);
    }

    // Ids that have earned their next command take their turns again, in the order they rested.
    void wakeRested(int32_t now)
    {
        // Credit depends on the reading alone: one look a millisecond is enough.
        if (std::exchange(lastWake, now) == now)
            return;
        for (auto it = resting.begin(); it != resting.end();) {
            Connection& connection = connections[*it];
            if (connection.budget.msUntilNext(now) > 0) {
                ++it;
                continue;
            }
            connection.resting = false;
            giveTurn(*it);
            it = resting.erase(it);
        }
    }

    // The spectators' feed packets go out when due, and a resting client's next
    // command is handled when earned, so a wait must end by then.
    int limitWait(int timeoutMs)
    {
        auto limit = [&](int due) { timeoutMs = timeoutMs < 0 ? due : std::min(timeoutMs, due); };
        for (const SpectatorFeed& feed : feeds)
            if (std::optional<int> feedDue = feed.msUntilDue(ReadClock()))
                limit(*feedDue);
        for (int id : resting)
            limit(connections[id].budget.msUntilNext(ReadClock()));
        if (std::optional<int> notice = msUntilDropNotice(ReadClock()))
            limit(*notice);
        if (std::optional<int> state = msUntilStateDue(ReadClock()))
            limit(*state);
        return timeoutMs;
    }

    bool pending() const
    {
        // A leave waits for its join, so a queued leave alone is takeable only when its join is taken.
        if (!joins.empty() || !turns.empty() || !spectatorJoins.empty())
            return true;
        return std::any_of(leaves.begin(), leaves.end(), [&](int id) { return takeableLeave(id); });
    }

    bool takeableLeave(int id) const
    {
        return connections[id].state != IdState::Joining || connections[id].leavePending;
    }

    void reset()
    {
        stats = {};
        refusalLines = {};
        connections.clear();
        joins.clear();
        leaves.clear();
        turns.clear();
        resting.clear();
        spectatorJoins.clear();
        idsWithDrops.clear();
        packing.clear();
        withMotion.clear();
        for (SpectatorFeed& feed : feeds)
            feed.clear();
        passBudget = kMaxMessagesPerPass;
    }
};

NetCore core;

// Empties the stop event, so that a new host's waits block again.
void ClearStopWake()
{
    uint64_t count = 0;
    while (read(StopWakeDescriptor(), &count, sizeof count) > 0) {
    }
}

} // namespace

namespace {

// Above the standard descriptors, even when one was closed at start.
int AboveStandardDescriptors(int fd)
{
    if (fd < 0 || fd > 2)
        return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved;
}

} // namespace

// Made before main, so that a signal handler never creates it.
const int stopWake = AboveStandardDescriptors(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));

int StopWakeDescriptor() { return stopWake; }

void NetSetPort(uint16_t port) { core.port = port; }
void NetSetMaxPerAddress(int count) { core.maxPerAddress = std::max(count, 0); }
void NetSetMaxSpectators(int count) { core.maxSpectators = std::max(count, 0); }
void NetSetMaxSpectatorsPerAddress(int count) { core.maxSpectatorsPerAddress = std::max(count, 0); }
void NetSetWebPages(WebPages pages) { core.webPages = std::move(pages); }
void NetSetDatagramAddress(std::string address) { core.datagramAddress = std::move(address); }
void NetSetBacklogAllowance(size_t bytes) { core.backlogAllowance = bytes; }

bool NetHost(int playerCount)
{
    if (!core.transport)
        core.transport = core.webPages.empty() ? MakeEnetTransport() : MakeHostTransport(core.webPages, core.datagramAddress);
    core.reset();
    core.stopRequested = 0;
    ClearStopWake();
    core.error.clear();
    core.connections.reset(playerCount, core.maxSpectators);
    core.motion.reset(core.connections.playerSlots());
    int maxConnections = core.connections.size() - 1;
    if (!core.transport->open(core.port, maxConnections, core, core.error)) {
        core.connections.clear();
        return false;
    }
    return true;
}

std::string NetGetError() { return core.error; }

NetStats NetGetStats()
{
    NetStats stats = core.stats;
    if (core.transport) {
        const Transport::DatagramStats datagrams = core.transport->datagramStats();
        stats.datagramChannels = datagrams.channels;
        stats.statesOverDatagrams = datagrams.statesSent;
    }
    for (int id = 1; core.hasId(id); ++id) {
        if (!core.reachable(id))
            continue;
        bool web = core.transport && core.transport->isWebConnection(id);
        if (core.connections[id].local)
            ++stats.bots;
        else if (core.isSpectator(id))
            ++(web ? stats.webSpectators : stats.enetSpectators);
        else
            ++(web ? stats.webPlayers : stats.enetPlayers);
    }
    return stats;
}

int NetPeopleCount()
{
    int people = 0;
    for (int id = 1; id < core.connections.playerSlots() && core.hasId(id); ++id)
        people += core.reachable(id) && !core.connections[id].local;
    return people;
}

bool NetConnected() { return core.transport && core.transport->isOpen() && !core.stopRequested; }

namespace {

// The first id of a queue of joins whose id is free of its last holder's leave, taken now; 0 when none waits.
int TakeJoin(std::deque<int>& queue)
{
    auto takeable = std::find_if(queue.begin(), queue.end(), [](int id) { return !core.connections[id].leavePending; });
    if (takeable == queue.end())
        return 0;
    int id = *takeable;
    queue.erase(takeable);
    core.connections[id].state = IdState::Joined;
    return id;
}

} // namespace

int NetPlayerJoined()
{
    int id = TakeJoin(core.joins);
    if (id != 0) {
        core.giveTurn(id);
        if (core.connections[id].version == WireVersion::V3)
            core.keepMotion(id, id);
    }
    return id;
}

int NetSpectatorJoined()
{
    int id = TakeJoin(core.spectatorJoins);
    if (id != 0) {
        core.feedOf(core.connections[id].version).join(id);
        if (core.connections[id].version == WireVersion::V3)
            core.keepMotion(id, 0);
    }
    return id;
}

std::string NetGetPlayerIP(int id) { return core.hasId(id) ? core.connections[id].address : std::string(); }

int NetPlayerLeft()
{
    auto takeable = std::find_if(core.leaves.begin(), core.leaves.end(), [](int id) { return core.takeableLeave(id); });
    if (takeable == core.leaves.end())
        return 0;
    int id = *takeable;
    core.leaves.erase(takeable);
    if (!std::exchange(core.connections[id].leavePending, false))
        core.release(id); // (a bot's leave leaves the connection to the person who took its seat)
    return id;
}

bool NetGetMessage(NetMessage& message)
{
    const int32_t now = ReadClock();
    core.wakeRested(now);
    int id = 0;
    while (id == 0) {
        if (core.turns.empty() || core.passBudget == 0)
            return false;
        id = core.turns.front();
        core.turns.pop_front();
        Connection& connection = core.connections[id];
        if (!connection.budget.spend(connection.inbox.peek(), connection.version, now)) {
            connection.inTurn = false;
            core.rest(id);
            id = 0;
        }
    }
    --core.passBudget;
    Connection& connection = core.connections[id];
    message.from = id;
    connection.inbox.take(message.bytes);
    connection.inTurn = false;
    core.giveTurn(id);
    return true;
}

void NetSend(int id, const MessageWriter& message)
{
    if (!message.overflowed() && core.reachable(id)) {
        NetCore::Encodings encodings(message);
        core.sendPacked(id, encodings);
    }
}

void NetSendAll(const MessageWriter& message)
{
    if (!message.overflowed())
        core.sendToAll(message);
}

void NetTickTaken(int32_t tick) { core.motion.tickTaken(tick); }

namespace {

// Between two passes: what the last one sent goes out, and the next one may take its
// full share of messages. False when there is no open host to service.
bool EndPass()
{
    if (!core.transport || !core.transport->isOpen())
        return false;
    core.tellDropped(ReadClock());
    core.flush();
    core.deliverFeed(false);
    core.sendStates(ReadClock());
    core.passBudget = kMaxMessagesPerPass;
    core.reportWithheldRefusals(ReadClock());
    return true;
}

} // namespace

// Every wait the loop asks for is until a step falls due at a clock reading: it ends as
// the reading turns, not up to a millisecond after it.
void NetService(int timeoutMs)
{
    if (!EndPass())
        return;
    const int readings = core.pending() ? 0 : core.limitWait(std::max(timeoutMs, kWaitForTraffic));
    core.transport->service(readings < 0 ? std::chrono::microseconds(-1) : RealTimeUntilReading(readings), false);
}

void NetCollect(int timeoutMs, std::optional<int32_t> dueMs)
{
    if (!EndPass())
        return;
    std::chrono::microseconds gather = std::chrono::milliseconds(std::max(timeoutMs, 0));
    if (dueMs)
        gather = std::min(gather, RealTimeUntilReading(*dueMs));
    core.transport->service(gather, true);
}

void NetShutdown()
{
    if (core.transport && core.transport->isOpen()) {
        core.flush();
        core.deliverFeed(true);
        core.transport->close();
    }
    core.reset();
}

void NetSetBanCheck(std::function<bool(const std::string& address)> banned) { core.banned = std::move(banned); }

void NetKick(int id, const Farewell& farewell)
{
    if (!core.hasId(id) || core.connections[id].state == IdState::Free || core.connections[id].closed)
        return;
    if (core.connections[id].local) {
        core.onDisconnect(id);
        return;
    }
    // What was sent to it this pass goes ahead of the farewell.
    core.flush(id);
    core.transport->endConnection(id, farewell);
}

std::optional<NetConnectionInfo> NetGetConnection(int id)
{
    if (!core.reachable(id))
        return std::nullopt;
    const Connection& connection = core.connections[id];
    if (connection.local)
        return NetConnectionInfo{connection.address, false, std::nullopt, connection.connectedAt, true};
    return NetConnectionInfo{connection.address, core.transport->isWebConnection(id),
                             core.transport->roundTripMs(id), connection.connectedAt};
}

std::vector<int> NetConnectionsFrom(const std::string& address) { return core.connections.idsFrom(address); }

int NetConnectLocal()
{
    for (int id = 1; id < core.connections.playerSlots() && core.hasId(id); ++id) {
        Connection& connection = core.connections[id];
        if (connection.state != IdState::Free)
            continue;
        connection.state = IdState::Joining;
        connection.local = true;
        connection.address = kLocalAddress;
        connection.connectedAt = ReadClock();
        core.joins.push_back(id);
        return id;
    }
    return 0;
}

bool NetIsLocal(int id) { return core.hasId(id) && core.connections[id].local && !core.connections[id].closed; }

void NetLocalSend(int id, std::span<const uint8_t> packet)
{
    if (NetIsLocal(id))
        core.onPacket(id, packet);
}

std::vector<Bytes> NetLocalTake(int id)
{
    if (!NetIsLocal(id))
        return {};
    std::vector<Bytes> taken(std::make_move_iterator(core.connections[id].received.begin()),
                             std::make_move_iterator(core.connections[id].received.end()));
    core.connections[id].received.clear();
    return taken;
}

void NetWakeOn(std::vector<Wake> wakes) { core.wakes = std::move(wakes); }
const std::vector<Wake>& ExtraWakes() { return core.wakes; }

void NetRequestStop()
{
    core.stopRequested = 1;
    uint64_t one = 1;
    // write() is safe in a signal handler; a full counter already wakes every wait.
    [[maybe_unused]] ssize_t written = write(StopWakeDescriptor(), &one, sizeof one);
}

uint16_t NetBoundPort() { return core.transport ? core.transport->boundPort() : 0; }

void NetUseTransport(std::unique_ptr<Transport> transport)
{
    NetShutdown();
    core.transport = std::move(transport);
    core.stopRequested = 0;
    core.error.clear();
}

} // namespace skirmish

#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "net/rtc/dtls.h"

struct socket;

namespace rtc {

class DataChannelLink;

// A DATA_CHANNEL_OPEN (RFC 8832) as a peer sent it; nullopt unless the message is one
// whose lengths stay inside it.
struct DcepOpen {
    uint8_t channelType = 0;
    uint32_t reliability = 0;
    std::string label;
};
std::optional<DcepOpen> ParseDcepOpen(std::span<const uint8_t> message);

// usrsctp for the whole process, without its threads: everything it does happens
// inside a call made from the one thread that owns every link. Made once by the
// caller and outliving its links; at most one exists at a time, because usrsctp's
// timers are global and two owners would advance them twice.
class SctpStack {
public:
    // Throws std::logic_error while another SctpStack exists.
    SctpStack();
    ~SctpStack();
    SctpStack(const SctpStack&) = delete;
    SctpStack& operator=(const SctpStack&) = delete;

    // Advances usrsctp's timers (retransmissions, SACK delay, heartbeats) by the time
    // since the last call, then lets each link that has something to read read it.
    // usrsctp cannot say when its next timer is due: call this every few tens of ms.
    void onTimer(std::chrono::milliseconds now);

private:
    friend class DataChannelLink;
    static int Output(void* address, void* packet, size_t length, uint8_t tos, uint8_t setDf);
    static void Upcall(struct socket* socket, void* id, int flags);
    uintptr_t add(DataChannelLink* link);
    void remove(uintptr_t id);

    // usrsctp names a link by an opaque address: a number here, never reused, so a
    // packet for a link already gone finds nothing rather than another link.
    std::unordered_map<uintptr_t, DataChannelLink*> links_;
    // Links whose socket said it changed since the last timer: reading only these keeps
    // a pass of the timer from costing a read of every association.
    std::unordered_set<uintptr_t> stirred_;
    uintptr_t nextId_ = 1;
    std::optional<std::chrono::milliseconds> lastTimer_;
};

// The process's stack, made at the first call and kept while anyone holds it: every
// owner of links in the process (the server's door, a tool playing browsers, a test
// playing both ends) shares it, and so advances usrsctp's timers from one clock.
std::shared_ptr<SctpStack> SharedSctpStack();

// One browser's association: DTLS 1.2 carrying SCTP carrying one WebRTC data channel
// (DCEP), for unreliable, unordered binary messages. Driven entirely by the caller:
// datagrams in and out, messages in and out, timers on the caller's milliseconds.
// Callbacks run inside the calls that cause them and must not destroy the link.
class DataChannelLink {
public:
    enum class Role : uint8_t { Server, Client };
    enum class State : uint8_t { Handshaking, Open, Failed, Closed };
    using Bytes = std::span<const uint8_t>;
    struct Callbacks {
        std::function<void(Bytes)> sendDatagram; // a datagram for the peer
        std::function<void(Bytes)> onMessage;    // a binary message from the peer
    };

    // The largest message send() takes: one DATA chunk in one SCTP packet in one
    // DTLS record in one datagram of at most DtlsEndpoint::kMaxDatagram.
    static constexpr size_t kSctpPacket = 1160;
    static constexpr size_t kMaxMessage = kSctpPacket - 12 - 16;
    static_assert(kSctpPacket + DtlsEndpoint::kRecordOverhead <= DtlsEndpoint::kMaxDatagram);
    // Longest a link may take from construction to an open channel.
    static constexpr std::chrono::milliseconds kOpenDeadline{10000};
    // The channel a client role opens, as the game's page does.
    static constexpr std::string_view kClientLabel = "state";

    // own: this end's certificate; peer: the fingerprint the peer's certificate must
    // have (from its session description). A Server waits for the peer's handshake,
    // a Client begins one at start().
    DataChannelLink(SctpStack& stack, std::shared_ptr<const Certificate> own, const Fingerprint& peer, Role role,
                    Callbacks callbacks, std::chrono::milliseconds now);
    // Silent: nothing is sent, and no callback runs.
    ~DataChannelLink();
    DataChannelLink(const DataChannelLink&) = delete;
    DataChannelLink& operator=(const DataChannelLink&) = delete;

    void start(std::chrono::milliseconds now);
    // One datagram from the peer (a DTLS record or several).
    void receiveDatagram(Bytes datagram, std::chrono::milliseconds now);
    // Unordered and never retransmitted; false when not open, too long or when
    // usrsctp's send buffer is full (the message is then dropped).
    bool send(Bytes message);
    // Aborts the association and tells the peer with close_notify.
    void close();

    // Handshake resends and the open deadline; usrsctp's timers are the stack's.
    void onTimer(std::chrono::milliseconds now);
    std::optional<std::chrono::milliseconds> nextDue() const;
    State state() const { return state_; }
    // The channel the peer opened, once open.
    const std::string& label() const { return label_; }
    uint8_t channelType() const { return channelType_; }

private:
    friend class SctpStack;
    void* address() const { return reinterpret_cast<void*>(id_); }
    bool openSocket();
    void closeSocket();
    void connectSctp();
    void output(Bytes packet);
    void readSocket();
    void onNotification(Bytes notification);
    void onData(Bytes data, uint16_t stream, uint32_t ppid);
    void onControl(Bytes message, uint16_t stream);
    bool sendOn(uint16_t stream, uint32_t ppid, Bytes data, bool unreliable);
    void setOpen();
    void end(State state);

    SctpStack& stack_;
    uintptr_t id_;
    Role role_;
    Callbacks callbacks_;
    DtlsEndpoint dtls_;
    struct socket* socket_ = nullptr;
    bool connecting_ = false;
    bool skipping_ = false; // the rest of a message too long to take
    std::optional<uint16_t> stream_;
    std::string label_;
    uint8_t channelType_ = 0;
    State state_ = State::Handshaking;
    std::chrono::milliseconds deadline_;
};

} // namespace rtc

#include "net/rtc/data_channel.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <usrsctp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace rtc {

namespace {

using std::chrono::milliseconds;

SctpStack* gStack = nullptr;

// RFC 8831's fixed SCTP port on both ends, and the payload protocol ids we take: the
// control messages and binary ones (a string's ids, 51 and 56, are dropped with the rest).
constexpr uint16_t kSctpPort = 5000;
constexpr uint32_t kPpidControl = 50;
constexpr uint32_t kPpidBinary = 53;
constexpr uint32_t kPpidBinaryEmpty = 57;
// DCEP (RFC 8832).
constexpr uint8_t kDcepAck = 0x02;
constexpr uint8_t kDcepOpen = 0x03;
constexpr uint8_t kPartialReliableRexmitUnordered = 0x81;
constexpr size_t kDcepOpenHeader = 12;

constexpr uint16_t kStreams = 16;
constexpr int kSocketBuffer = 64 * 1024;
// Enough for any message we take and any notification we read; longer ones are skipped.
constexpr size_t kReadBuffer = 2048;
// Reads per call: far more than one datagram can complete, so only a guard.
constexpr int kMostReads = 256;

uint16_t ReadU16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]); }

} // namespace

std::optional<DcepOpen> ParseDcepOpen(std::span<const uint8_t> message)
{
    if (message.size() < kDcepOpenHeader || message[0] != kDcepOpen)
        return std::nullopt;
    size_t labelLength = ReadU16(&message[8]);
    size_t protocolLength = ReadU16(&message[10]);
    if (kDcepOpenHeader + labelLength + protocolLength > message.size())
        return std::nullopt;
    DcepOpen open;
    open.channelType = message[1];
    open.reliability = uint32_t{ReadU16(&message[4])} << 16 | ReadU16(&message[6]);
    open.label.assign(reinterpret_cast<const char*>(&message[kDcepOpenHeader]), labelLength);
    return open;
}

SctpStack::SctpStack()
{
    if (gStack)
        throw std::logic_error("an SctpStack already exists");
    // usrsctp is made once per process and never finished: finishing it and starting
    // again is not something its no-threads mode promises to survive.
    [[maybe_unused]] static const bool initialised = [] {
        usrsctp_init_nothreads(0, &SctpStack::Output, nullptr);
        // WebRTC peers speak neither ECN nor ASCONF (which needs AUTH); partial
        // reliability is what the channel is for.
        usrsctp_sysctl_set_sctp_ecn_enable(0);
        usrsctp_sysctl_set_sctp_asconf_enable(0);
        usrsctp_sysctl_set_sctp_auth_enable(0);
        usrsctp_sysctl_set_sctp_pr_enable(1);
        // A lost INIT or COOKIE must be resent well inside the open deadline.
        usrsctp_sysctl_set_sctp_rto_initial_default(1000);
        usrsctp_sysctl_set_sctp_init_rto_max_default(2000);
        usrsctp_sysctl_set_sctp_rto_min_default(200);
        usrsctp_sysctl_set_sctp_rto_max_default(10000);
        return true;
    }();
    gStack = this;
}

SctpStack::~SctpStack() { gStack = nullptr; }

std::shared_ptr<SctpStack> SharedSctpStack()
{
    static std::weak_ptr<SctpStack> shared;
    std::shared_ptr<SctpStack> stack = shared.lock();
    if (!stack)
        shared = stack = std::make_shared<SctpStack>();
    return stack;
}

void SctpStack::onTimer(milliseconds now)
{
    milliseconds elapsed = lastTimer_ ? std::clamp(now - *lastTimer_, milliseconds(0), milliseconds(60000)) : milliseconds(0);
    lastTimer_ = now;
    if (elapsed.count() > 0)
        usrsctp_handle_timers(static_cast<uint32_t>(elapsed.count()));
    // A timer may have ended an association; a reader may end links, so each is found again.
    std::vector<uintptr_t> ids(stirred_.begin(), stirred_.end());
    stirred_.clear();
    for (uintptr_t id : ids) {
        auto found = links_.find(id);
        if (found != links_.end())
            found->second->readSocket();
    }
}

int SctpStack::Output(void* address, void* packet, size_t length, uint8_t, uint8_t)
{
    if (!gStack)
        return 0;
    auto found = gStack->links_.find(reinterpret_cast<uintptr_t>(address));
    if (found != gStack->links_.end())
        found->second->output({static_cast<const uint8_t*>(packet), length});
    // A packet that cannot go is a lost packet; SCTP recovers or gives up by itself.
    return 0;
}

// Called inside usrsctp whenever a socket's state changes: most often room to write
// (each SACK), which needs nothing of us.
void SctpStack::Upcall(struct socket* socket, void* id, int)
{
    if (gStack && (usrsctp_get_events(socket) & (SCTP_EVENT_READ | SCTP_EVENT_ERROR)))
        gStack->stirred_.insert(reinterpret_cast<uintptr_t>(id));
}

uintptr_t SctpStack::add(DataChannelLink* link)
{
    uintptr_t id = nextId_++;
    links_.emplace(id, link);
    return id;
}

void SctpStack::remove(uintptr_t id)
{
    links_.erase(id);
    stirred_.erase(id);
}

DataChannelLink::DataChannelLink(SctpStack& stack, std::shared_ptr<const Certificate> own, const Fingerprint& peer,
                                 Role role, Callbacks callbacks, milliseconds now)
    : stack_(stack), id_(stack.add(this)), role_(role), callbacks_(std::move(callbacks)),
      dtls_(std::move(own), peer, role == Role::Server ? DtlsEndpoint::Role::Server : DtlsEndpoint::Role::Client,
            [this](Bytes datagram) {
                if (callbacks_.sendDatagram)
                    callbacks_.sendDatagram(datagram);
            }),
      deadline_(now + kOpenDeadline)
{
    usrsctp_register_address(address());
    if (dtls_.state() == DtlsEndpoint::State::Failed || !openSocket())
        end(State::Failed);
}

DataChannelLink::~DataChannelLink()
{
    stack_.remove(id_);
    closeSocket();
    usrsctp_deregister_address(address());
}

bool DataChannelLink::openSocket()
{
    socket_ = usrsctp_socket(AF_CONN, SOCK_STREAM, IPPROTO_SCTP, nullptr, nullptr, 0, nullptr);
    if (!socket_)
        return false;
    auto set = [this](int level, int option, const auto& value) {
        return usrsctp_setsockopt(socket_, level, option, &value, sizeof value) == 0;
    };
    // Closing aborts at once: nothing lingers to call Output for a link that is gone.
    linger abortOnClose{1, 0};
    int on = 1;
    sctp_assoc_value reset{};
    reset.assoc_id = SCTP_FUTURE_ASSOC;
    reset.assoc_value = SCTP_ENABLE_RESET_STREAM_REQ;
    sctp_initmsg streams{};
    streams.sinit_num_ostreams = kStreams;
    streams.sinit_max_instreams = kStreams;
    // The path MTU is fixed so that a packet always fits one DTLS record in one datagram.
    sctp_paddrparams path{};
    path.spp_assoc_id = SCTP_FUTURE_ASSOC;
    path.spp_flags = SPP_PMTUD_DISABLE;
    path.spp_pathmtu = kSctpPacket;
    bool ok = usrsctp_set_non_blocking(socket_, 1) == 0 && set(SOL_SOCKET, SO_LINGER, abortOnClose) &&
              set(SOL_SOCKET, SO_RCVBUF, kSocketBuffer) && set(SOL_SOCKET, SO_SNDBUF, kSocketBuffer) &&
              set(IPPROTO_SCTP, SCTP_NODELAY, on) && set(IPPROTO_SCTP, SCTP_RECVRCVINFO, on) &&
              set(IPPROTO_SCTP, SCTP_ENABLE_STREAM_RESET, reset) && set(IPPROTO_SCTP, SCTP_INITMSG, streams) &&
              set(IPPROTO_SCTP, SCTP_PEER_ADDR_PARAMS, path);
    for (uint16_t type : {SCTP_ASSOC_CHANGE, SCTP_STREAM_RESET_EVENT}) {
        sctp_event event{};
        event.se_assoc_id = SCTP_FUTURE_ASSOC;
        event.se_type = type;
        event.se_on = 1;
        ok = ok && set(IPPROTO_SCTP, SCTP_EVENT, event);
    }
    ok = ok && usrsctp_set_upcall(socket_, &SctpStack::Upcall, address()) == 0;
    sockaddr_conn local{};
    local.sconn_family = AF_CONN;
    local.sconn_port = htons(kSctpPort);
    local.sconn_addr = address();
    return ok && usrsctp_bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
}

void DataChannelLink::closeSocket()
{
    if (socket_)
        usrsctp_close(socket_);
    socket_ = nullptr;
}

void DataChannelLink::start(milliseconds now)
{
    if (state_ == State::Handshaking)
        dtls_.start(now);
    if (dtls_.state() == DtlsEndpoint::State::Failed)
        end(State::Failed);
}

void DataChannelLink::receiveDatagram(Bytes datagram, milliseconds now)
{
    if (state_ == State::Failed || state_ == State::Closed)
        return;
    dtls_.receive(datagram, now, [this](Bytes packet) {
        connectSctp();
        if (socket_)
            usrsctp_conninput(address(), packet.data(), packet.size(), 0);
    });
    switch (dtls_.state()) {
    case DtlsEndpoint::State::Handshaking:
        return;
    case DtlsEndpoint::State::Connected:
        connectSctp();
        readSocket();
        return;
    case DtlsEndpoint::State::Failed:
        end(State::Failed);
        return;
    case DtlsEndpoint::State::Closed:
        end(State::Closed);
        return;
    }
}

void DataChannelLink::connectSctp()
{
    if (connecting_ || !socket_ || state_ != State::Handshaking)
        return;
    connecting_ = true;
    // Both ends connect; SCTP settles the INITs crossing.
    sockaddr_conn remote{};
    remote.sconn_family = AF_CONN;
    remote.sconn_port = htons(kSctpPort);
    remote.sconn_addr = address();
    if (usrsctp_connect(socket_, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0 && errno != EINPROGRESS)
        end(State::Failed);
}

void DataChannelLink::output(Bytes packet)
{
    if (state_ == State::Handshaking || state_ == State::Open)
        dtls_.write(packet);
}

void DataChannelLink::readSocket()
{
    stack_.stirred_.erase(id_);
    for (int reads = 0; socket_ && (state_ == State::Handshaking || state_ == State::Open); ++reads) {
        if (reads == kMostReads) {
            stack_.stirred_.insert(id_); // the rest at the next timer
            return;
        }
        alignas(8) uint8_t buffer[kReadBuffer];
        sctp_rcvinfo info{};
        socklen_t infoLength = sizeof info;
        unsigned infoType = 0;
        int flags = 0;
        sockaddr_conn from{};
        socklen_t fromLength = sizeof from;
        ssize_t read = usrsctp_recvv(socket_, buffer, sizeof buffer, reinterpret_cast<sockaddr*>(&from), &fromLength,
                                     &info, &infoLength, &infoType, &flags);
        if (read < 0)
            return; // EAGAIN, or not connected yet
        if (read == 0) {
            end(State::Closed);
            return;
        }
        // Whatever arrives in pieces is longer than anything we take: skip to its end.
        bool whole = (flags & MSG_EOR) && !skipping_;
        skipping_ = !(flags & MSG_EOR);
        if (!whole)
            continue;
        Bytes bytes(buffer, static_cast<size_t>(read));
        if (flags & MSG_NOTIFICATION)
            onNotification(bytes);
        else if (infoType == SCTP_RECVV_RCVINFO)
            onData(bytes, info.rcv_sid, ntohl(info.rcv_ppid));
    }
}

void DataChannelLink::onNotification(Bytes bytes)
{
    sctp_notification notification{};
    if (bytes.size() < sizeof notification.sn_header)
        return;
    std::memcpy(&notification, bytes.data(), std::min(bytes.size(), sizeof notification));
    if (notification.sn_header.sn_type == SCTP_ASSOC_CHANGE && bytes.size() >= sizeof(sctp_assoc_change)) {
        switch (notification.sn_assoc_change.sac_state) {
        case SCTP_COMM_UP:
            if (role_ == Role::Client && !stream_) {
                // The DTLS client takes even stream ids (RFC 8832).
                stream_ = 0;
                std::vector<uint8_t> open{kDcepOpen, kPartialReliableRexmitUnordered, 0, 0, 0, 0, 0, 0, 0,
                                          static_cast<uint8_t>(kClientLabel.size()), 0, 0};
                open.insert(open.end(), kClientLabel.begin(), kClientLabel.end());
                if (!sendOn(*stream_, kPpidControl, open, false))
                    end(State::Failed);
            }
            return;
        case SCTP_COMM_LOST:
        case SCTP_CANT_STR_ASSOC:
            end(State::Failed);
            return;
        case SCTP_SHUTDOWN_COMP:
            end(State::Closed);
            return;
        default:
            return;
        }
    }
    if (notification.sn_header.sn_type == SCTP_STREAM_RESET_EVENT &&
        bytes.size() >= sizeof(sctp_stream_reset_event)) {
        // The peer closing its channel resets the stream it sends on.
        const sctp_stream_reset_event& reset = notification.sn_strreset_event;
        if (!(reset.strreset_flags & SCTP_STREAM_RESET_INCOMING_SSN) || !stream_)
            return;
        size_t total = std::min<size_t>(reset.strreset_length, bytes.size());
        size_t listed = total > sizeof reset ? (total - sizeof reset) / sizeof(uint16_t) : 0;
        for (size_t i = 0; i < listed; ++i) {
            uint16_t stream;
            std::memcpy(&stream, bytes.data() + sizeof reset + i * sizeof stream, sizeof stream);
            if (stream == *stream_)
                end(State::Closed);
        }
    }
}

void DataChannelLink::onData(Bytes data, uint16_t stream, uint32_t ppid)
{
    if (ppid == kPpidControl) {
        onControl(data, stream);
        return;
    }
    if (!stream_ || stream != *stream_ || (ppid != kPpidBinary && ppid != kPpidBinaryEmpty))
        return; // another channel's, or a string: the game speaks binary only
    // A peer may send before its ACK arrives; its data proves the channel open.
    setOpen();
    if (state_ == State::Open && callbacks_.onMessage)
        callbacks_.onMessage(ppid == kPpidBinaryEmpty ? Bytes() : data);
}

void DataChannelLink::onControl(Bytes message, uint16_t stream)
{
    if (message.empty())
        return;
    if (message[0] == kDcepAck && stream_ == stream) {
        setOpen();
        return;
    }
    std::optional<DcepOpen> open = ParseDcepOpen(message);
    if (!open || (stream_ && *stream_ != stream))
        return; // one channel only; any other stays unanswered
    stream_ = stream;
    channelType_ = open->channelType;
    label_ = std::move(open->label);
    const uint8_t ack[] = {kDcepAck};
    if (sendOn(stream, kPpidControl, ack, false))
        setOpen();
    else
        end(State::Failed);
}

bool DataChannelLink::send(Bytes message)
{
    if (state_ != State::Open || message.size() > kMaxMessage)
        return false;
    // An empty message travels as one byte under its own PPID (RFC 8831).
    static const uint8_t kEmpty[] = {0};
    return message.empty() ? sendOn(*stream_, kPpidBinaryEmpty, kEmpty, true)
                           : sendOn(*stream_, kPpidBinary, message, true);
}

bool DataChannelLink::sendOn(uint16_t stream, uint32_t ppid, Bytes data, bool unreliable)
{
    if (!socket_)
        return false;
    sctp_sendv_spa spa{};
    spa.sendv_flags = SCTP_SEND_SNDINFO_VALID;
    spa.sendv_sndinfo.snd_sid = stream;
    spa.sendv_sndinfo.snd_ppid = htonl(ppid);
    if (unreliable) {
        spa.sendv_sndinfo.snd_flags = SCTP_UNORDERED;
        spa.sendv_flags |= SCTP_SEND_PRINFO_VALID;
        spa.sendv_prinfo.pr_policy = SCTP_PR_SCTP_RTX;
        spa.sendv_prinfo.pr_value = 0;
    }
    return usrsctp_sendv(socket_, data.data(), data.size(), nullptr, 0, &spa, sizeof spa, SCTP_SENDV_SPA, 0) >= 0;
}

void DataChannelLink::setOpen()
{
    if (state_ == State::Handshaking && stream_)
        state_ = State::Open;
}

void DataChannelLink::close()
{
    if (state_ == State::Failed || state_ == State::Closed)
        return;
    // close_notify alone: an ABORT ahead of it would read as a failure to the peer.
    end(State::Closed);
    closeSocket();
    dtls_.close();
}

void DataChannelLink::onTimer(milliseconds now)
{
    if (state_ == State::Failed || state_ == State::Closed)
        return;
    if (state_ == State::Handshaking && now >= deadline_) {
        end(State::Failed);
        return;
    }
    dtls_.onTimer(now);
}

std::optional<milliseconds> DataChannelLink::nextDue() const
{
    if (state_ == State::Failed || state_ == State::Closed)
        return std::nullopt;
    std::optional<milliseconds> due = dtls_.nextDue();
    if (state_ == State::Handshaking)
        due = due ? std::min(*due, deadline_) : deadline_;
    return due;
}

void DataChannelLink::end(State state)
{
    if (state_ == State::Handshaking || state_ == State::Open)
        state_ = state;
}

} // namespace rtc

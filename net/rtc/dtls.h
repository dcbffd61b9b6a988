#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <openssl/types.h>

#include "net/rtc/sdp.h"

struct bio_method_st; // BIO_METHOD, which only openssl/bio.h names

namespace rtc {

// A certificate's SHA-256 digest, as the offer's a=fingerprint names it.
using Fingerprint = Sha256Fingerprint;

// The server's own identity: an ECDSA P-256 key and a self-signed certificate over
// it, made once at start and shared read-only by every link (OpenSSL counts the
// references each SSL takes).
class Certificate {
public:
    // Throws std::runtime_error when OpenSSL cannot make a key or sign (at start only).
    static std::shared_ptr<const Certificate> Generate();
    ~Certificate();
    Certificate(const Certificate&) = delete;
    Certificate& operator=(const Certificate&) = delete;

    EVP_PKEY* key() const { return key_; }
    X509* x509() const { return x509_; }
    const Fingerprint& fingerprint() const { return fingerprint_; }
    const std::string& fingerprintText() const { return fingerprintText_; }

private:
    Certificate() = default;
    EVP_PKEY* key_ = nullptr;
    X509* x509_ = nullptr;
    Fingerprint fingerprint_{};
    std::string fingerprintText_;
};

// One DTLS 1.2 association over datagrams the caller carries. Nothing here reads a
// socket or a clock: datagrams come in through receive(), go out through the sink,
// and handshake retransmission runs on the caller's milliseconds through onTimer().
// Any error, alert or fingerprint mismatch leaves it Failed; nothing throws.
class DtlsEndpoint {
public:
    enum class Role : uint8_t { Server, Client };
    enum class State : uint8_t { Handshaking, Connected, Failed, Closed };
    using Bytes = std::span<const uint8_t>;

    // Largest datagram this end sends; the SCTP layer above sizes its packets to it.
    static constexpr size_t kMaxDatagram = 1200;
    // What an AES-GCM record adds to its plaintext: header, explicit nonce, tag.
    static constexpr size_t kRecordOverhead = 13 + 8 + 16;
    // Larger datagrams are dropped unread: nothing honest on this path is bigger.
    static constexpr size_t kMaxIncoming = 1500;

    DtlsEndpoint(std::shared_ptr<const Certificate> own, const Fingerprint& peer, Role role,
                 std::function<void(Bytes)> sendDatagram);
    ~DtlsEndpoint();
    DtlsEndpoint(const DtlsEndpoint&) = delete;
    DtlsEndpoint& operator=(const DtlsEndpoint&) = delete;

    // A client sends its first flight; a server waits for one.
    void start(std::chrono::milliseconds now);
    // One datagram from the peer. Decrypted application data goes to onData, one
    // record at a time, after the datagram has been read through.
    void receive(Bytes datagram, std::chrono::milliseconds now, const std::function<void(Bytes)>& onData);
    // Encrypts one record (at most kMaxDatagram - kRecordOverhead bytes) once connected.
    bool write(Bytes plaintext);
    // Tells the peer with close_notify, then ends.
    void close();

    // Resends the last handshake flight when its time has come.
    void onTimer(std::chrono::milliseconds now);
    std::optional<std::chrono::milliseconds> nextDue() const;
    State state() const { return state_; }

private:
    static int BioWrite(BIO* bio, const char* data, int length);
    static int BioRead(BIO* bio, char* data, int length);
    static long BioCtrl(BIO* bio, int command, long number, void* pointer);
    static const bio_method_st* Method();

    void advanceHandshake();
    void readRecords(std::vector<std::vector<uint8_t>>& plaintexts);
    void flush();
    void keepFlight(std::chrono::milliseconds now);
    void fail();

    std::shared_ptr<const Certificate> own_;
    Fingerprint peer_;
    Role role_;
    std::function<void(Bytes)> send_;
    SSL_CTX* context_ = nullptr;
    SSL* ssl_ = nullptr;
    State state_ = State::Handshaking;

    Bytes incoming_; // the datagram being read, handed to OpenSSL once
    std::vector<uint8_t> out_; // records written and not yet sent
    // The last handshake flight, resent as it was until the peer answers. OpenSSL's
    // own retransmission timer reads the wall clock, so it is pushed out of the way.
    std::vector<std::vector<uint8_t>> flight_;
    std::vector<std::vector<uint8_t>> newFlight_;
    bool capturing_ = false;
    std::chrono::milliseconds resendAt_{0};
    std::chrono::milliseconds resendGap_{0};
};

} // namespace rtc

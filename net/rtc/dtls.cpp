#include "net/rtc/dtls.h"

#include <algorithm>
#include <stdexcept>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace rtc {

namespace {

using std::chrono::milliseconds;

// What browsers offer first; the other two keep a browser that leaves it out working.
constexpr const char* kCiphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-ECDSA-AES256-GCM-SHA384";
constexpr milliseconds kFirstResend{400};
constexpr milliseconds kLongestResend{3200};
// OpenSSL's own timer, far beyond any handshake deadline: it measures gettimeofday,
// which the caller's clock need not follow, and under 15 ms it counts as expired on
// every read, resending on each datagram.
constexpr unsigned kOpenSslTimerUs = 3600u * 1000u * 1000u;

int AcceptAnyChain(int, X509_STORE_CTX*)
{
    // Self-signed is the norm here; the fingerprint from the offer is the check.
    return 1;
}

unsigned FarTimer(SSL*, unsigned) { return kOpenSslTimerUs; }

} // namespace

Certificate::~Certificate()
{
    X509_free(x509_);
    EVP_PKEY_free(key_);
}

std::shared_ptr<const Certificate> Certificate::Generate()
{
    std::shared_ptr<Certificate> made(new Certificate());
    auto check = [](bool ok, const char* what) {
        if (!ok) {
            ERR_clear_error();
            throw std::runtime_error(std::string("DTLS certificate: ") + what);
        }
    };
    made->key_ = EVP_EC_gen("P-256");
    check(made->key_ != nullptr, "no P-256 key");
    made->x509_ = X509_new();
    X509* x509 = made->x509_;
    check(x509 != nullptr, "no X509");

    // A positive 63-bit serial: unique enough for a certificate nobody keeps.
    uint8_t serial[8];
    check(RAND_bytes(serial, sizeof serial) == 1, "no randomness");
    serial[0] &= 0x7f;
    BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
    check(number != nullptr, "no serial");
    bool serialSet = BN_to_ASN1_INTEGER(number, X509_get_serialNumber(x509)) != nullptr;
    BN_free(number);
    check(serialSet, "no serial");

    // Backdated so that a visitor's clock a few weeks slow still accepts it.
    constexpr long kDay = 24 * 60 * 60;
    check(X509_set_version(x509, X509_VERSION_3) == 1 && X509_gmtime_adj(X509_getm_notBefore(x509), -30 * kDay) &&
              X509_gmtime_adj(X509_getm_notAfter(x509), 365 * kDay) && X509_set_pubkey(x509, made->key_) == 1,
          "no validity");
    X509_NAME* name = X509_get_subject_name(x509);
    check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("skirmish"),
                                     -1, -1, 0) == 1 &&
              X509_set_issuer_name(x509, name) == 1,
          "no name");
    check(X509_sign(x509, made->key_, EVP_sha256()) > 0, "not signed");

    unsigned length = 0;
    check(X509_digest(x509, EVP_sha256(), made->fingerprint_.data(), &length) == 1 &&
              length == made->fingerprint_.size(),
          "no digest");
    made->fingerprintText_ = FingerprintText(made->fingerprint_);
    return made;
}

// The BIO under each SSL: reads hand over the one datagram being received, writes
// gather records into datagrams of at most kMaxDatagram, sent when the call that
// made them ends.
const BIO_METHOD* DtlsEndpoint::Method()
{
    static BIO_METHOD* method = [] {
        BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "rtc datagrams");
        if (made) {
            BIO_meth_set_write(made, &DtlsEndpoint::BioWrite);
            BIO_meth_set_read(made, &DtlsEndpoint::BioRead);
            BIO_meth_set_ctrl(made, &DtlsEndpoint::BioCtrl);
        }
        return made;
    }();
    return method;
}

int DtlsEndpoint::BioWrite(BIO* bio, const char* data, int length)
{
    auto* self = static_cast<DtlsEndpoint*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (length <= 0)
        return 0;
    auto bytes = reinterpret_cast<const uint8_t*>(data);
    if (self->out_.size() + static_cast<size_t>(length) > kMaxDatagram)
        self->flush();
    self->out_.insert(self->out_.end(), bytes, bytes + length);
    return length;
}

int DtlsEndpoint::BioRead(BIO* bio, char* data, int length)
{
    auto* self = static_cast<DtlsEndpoint*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (self->incoming_.empty() || length <= 0) {
        BIO_set_retry_read(bio);
        return -1;
    }
    // OpenSSL reads a whole datagram at once; whatever would not fit is dropped, as a
    // datagram socket would.
    size_t taken = std::min(self->incoming_.size(), static_cast<size_t>(length));
    std::copy_n(self->incoming_.data(), taken, data);
    self->incoming_ = {};
    return static_cast<int>(taken);
}

long DtlsEndpoint::BioCtrl(BIO*, int command, long, void*)
{
    switch (command) {
    case BIO_CTRL_FLUSH:
        return 1;
    case BIO_CTRL_DGRAM_QUERY_MTU:
    case BIO_CTRL_DGRAM_GET_FALLBACK_MTU:
        return kMaxDatagram;
    default:
        return 0;
    }
}

DtlsEndpoint::DtlsEndpoint(std::shared_ptr<const Certificate> own, const Fingerprint& peer, Role role,
                           std::function<void(Bytes)> sendDatagram)
    : own_(std::move(own)), peer_(peer), role_(role), send_(std::move(sendDatagram))
{
    context_ = SSL_CTX_new(DTLS_method());
    const BIO_METHOD* method = Method();
    bool ok = context_ && method && own_ && SSL_CTX_set_min_proto_version(context_, DTLS1_2_VERSION) == 1 &&
              SSL_CTX_set_max_proto_version(context_, DTLS1_2_VERSION) == 1 &&
              SSL_CTX_set_cipher_list(context_, kCiphers) == 1 &&
              SSL_CTX_use_certificate(context_, own_->x509()) == 1 &&
              SSL_CTX_use_PrivateKey(context_, own_->key()) == 1;
    if (ok) {
        SSL_CTX_set_verify(context_, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, AcceptAnyChain);
        // The MTU is ours to say: there is no socket to ask. A renegotiation would only
        // be a way to make the server work again.
        SSL_CTX_set_options(context_, SSL_OP_NO_QUERY_MTU | SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_TICKET |
                                          SSL_OP_CIPHER_SERVER_PREFERENCE);
        ssl_ = SSL_new(context_);
    }
    BIO* bio = ssl_ ? BIO_new(method) : nullptr;
    if (!bio) {
        ERR_clear_error();
        state_ = State::Failed;
        return;
    }
    BIO_set_data(bio, this);
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl_, bio, bio); // one reference serves both directions
    SSL_set_mtu(ssl_, kMaxDatagram);
    DTLS_set_timer_cb(ssl_, FarTimer);
    if (role_ == Role::Server)
        SSL_set_accept_state(ssl_);
    else
        SSL_set_connect_state(ssl_);
}

DtlsEndpoint::~DtlsEndpoint()
{
    SSL_free(ssl_);
    SSL_CTX_free(context_);
}

void DtlsEndpoint::start(milliseconds now)
{
    if (role_ != Role::Client || state_ != State::Handshaking)
        return;
    advanceHandshake();
    flush();
    keepFlight(now);
}

void DtlsEndpoint::receive(Bytes datagram, milliseconds now, const std::function<void(Bytes)>& onData)
{
    if (datagram.empty() || datagram.size() > kMaxIncoming || state_ == State::Failed || state_ == State::Closed)
        return;
    incoming_ = datagram;
    if (state_ == State::Handshaking)
        advanceHandshake();
    std::vector<std::vector<uint8_t>> plaintexts;
    if (state_ == State::Connected)
        readRecords(plaintexts);
    incoming_ = {};
    flush();
    keepFlight(now);
    // Data under the new keys means the peer has our last flight.
    if (!plaintexts.empty())
        flight_.clear();
    for (const auto& plaintext : plaintexts) {
        if (state_ != State::Connected)
            break;
        onData(plaintext);
    }
}

bool DtlsEndpoint::write(Bytes plaintext)
{
    if (state_ != State::Connected || plaintext.empty() || plaintext.size() > kMaxDatagram - kRecordOverhead)
        return false;
    // Nothing here asks OpenSSL's error queue why, so it is emptied only after a failure.
    int written = SSL_write(ssl_, plaintext.data(), static_cast<int>(plaintext.size()));
    if (written <= 0) {
        ERR_clear_error();
        fail();
    }
    flush();
    return written > 0;
}

void DtlsEndpoint::close()
{
    if (state_ == State::Connected) {
        ERR_clear_error();
        SSL_shutdown(ssl_);
        ERR_clear_error();
        flush();
    }
    if (state_ != State::Failed)
        state_ = State::Closed;
    flight_.clear();
}

void DtlsEndpoint::onTimer(milliseconds now)
{
    if (flight_.empty() || now < resendAt_)
        return;
    // The records go again as they were: those the peer never saw are new to it, and
    // its replay window drops the rest. A peer whose answer was lost resends too.
    for (const auto& datagram : flight_)
        send_(datagram);
    resendGap_ = std::min(resendGap_ * 2, kLongestResend);
    resendAt_ = now + resendGap_;
}

std::optional<milliseconds> DtlsEndpoint::nextDue() const
{
    if (flight_.empty())
        return std::nullopt;
    return resendAt_;
}

void DtlsEndpoint::advanceHandshake()
{
    capturing_ = true;
    ERR_clear_error();
    int result = SSL_do_handshake(ssl_);
    int error = result == 1 ? SSL_ERROR_NONE : SSL_get_error(ssl_, result);
    ERR_clear_error();
    flush();
    capturing_ = false;
    if (result != 1) {
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE)
            fail();
        return;
    }
    Fingerprint seen{};
    unsigned length = 0;
    X509* certificate = SSL_get0_peer_certificate(ssl_);
    if (!certificate || X509_digest(certificate, EVP_sha256(), seen.data(), &length) != 1 ||
        length != seen.size() || CRYPTO_memcmp(seen.data(), peer_.data(), seen.size()) != 0) {
        ERR_clear_error();
        fail();
        return;
    }
    state_ = State::Connected;
    // A client's last flight needs no resending once the server's Finished is in;
    // a server keeps its own until the client's data shows it arrived.
    if (role_ == Role::Client) {
        flight_.clear();
        newFlight_.clear();
    }
}

void DtlsEndpoint::readRecords(std::vector<std::vector<uint8_t>>& plaintexts)
{
    // A datagram holds a bounded number of records; the cap only guards the loop.
    for (int records = 0; records < 64; ++records) {
        uint8_t buffer[kMaxIncoming];
        ERR_clear_error();
        int read = SSL_read(ssl_, buffer, sizeof buffer);
        if (read > 0) {
            plaintexts.emplace_back(buffer, buffer + read);
            // A datagram taken whole, no record of it left: asking again would only be told so.
            if (incoming_.empty() && !SSL_has_pending(ssl_))
                return;
            continue;
        }
        int error = SSL_get_error(ssl_, read);
        ERR_clear_error();
        if (error == SSL_ERROR_ZERO_RETURN)
            state_ = State::Closed;
        else if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE)
            fail();
        return;
    }
}

void DtlsEndpoint::flush()
{
    if (out_.empty())
        return;
    if (capturing_)
        newFlight_.push_back(out_);
    send_(out_);
    out_.clear(); // keeps its room for the next record
}

void DtlsEndpoint::keepFlight(milliseconds now)
{
    if (newFlight_.empty())
        return;
    flight_ = std::move(newFlight_);
    newFlight_.clear();
    resendGap_ = kFirstResend;
    resendAt_ = now + resendGap_;
}

void DtlsEndpoint::fail()
{
    state_ = State::Failed;
    flight_.clear();
    newFlight_.clear();
}

} // namespace rtc

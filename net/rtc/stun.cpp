#include "net/rtc/stun.h"

#include <arpa/inet.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <zlib.h>

#include <algorithm>
#include <memory>

namespace rtc {
namespace {

constexpr uint16_t kBindingRequest = 0x0001;
constexpr uint16_t kBindingSuccess = 0x0101;

enum Attribute : uint16_t {
    kUsername = 0x0006,
    kMessageIntegrity = 0x0008,
    kXorMappedAddress = 0x0020,
    kPriority = 0x0024,
    kUseCandidate = 0x0025,
    kFingerprint = 0x8028,
    kIceControlled = 0x8029,
    kIceControlling = 0x802A,
};

constexpr size_t kAttributeHeaderBytes = 4;
constexpr size_t kIntegrityBytes = 20;
constexpr size_t kFingerprintBytes = 4;
constexpr uint32_t kFingerprintXor = 0x5354554e;

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

uint32_t Get32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           p[3];
}

void Put16(std::vector<uint8_t>& out, uint16_t value)
{
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

void Put32(std::vector<uint8_t>& out, uint32_t value)
{
    Put16(out, static_cast<uint16_t>(value >> 16));
    Put16(out, static_cast<uint16_t>(value));
}

void SetLength(std::vector<uint8_t>& message, size_t attributesBytes)
{
    message[2] = static_cast<uint8_t>(attributesBytes >> 8);
    message[3] = static_cast<uint8_t>(attributesBytes);
}

// HMAC-SHA1 of the message's first `at` bytes, the header's length field read as if the
// message ended with the MESSAGE-INTEGRITY attribute at `at` (RFC 8489 14.5): whatever
// follows it, FINGERPRINT included, is left out of both.
std::optional<std::array<uint8_t, kIntegrityBytes>> Integrity(std::span<const uint8_t> message, size_t at,
                                                             std::string_view password)
{
    if (password.empty())
        return std::nullopt;
    // Fetched once: the lookup walks OpenSSL's provider tables.
    static EVP_MAC* const hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    if (hmac == nullptr)
        return std::nullopt;
    std::unique_ptr<EVP_MAC_CTX, decltype(&EVP_MAC_CTX_free)> context(EVP_MAC_CTX_new(hmac), EVP_MAC_CTX_free);
    char digest[] = "SHA1";
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                                 OSSL_PARAM_construct_end()};
    std::array<uint8_t, kStunHeaderBytes> header;
    std::copy_n(message.begin(), kStunHeaderBytes, header.begin());
    const size_t covered = at + kAttributeHeaderBytes + kIntegrityBytes - kStunHeaderBytes;
    header[2] = static_cast<uint8_t>(covered >> 8);
    header[3] = static_cast<uint8_t>(covered);
    std::array<uint8_t, kIntegrityBytes> out;
    size_t outBytes = 0;
    const auto* key = reinterpret_cast<const unsigned char*>(password.data());
    if (!context || !EVP_MAC_init(context.get(), key, password.size(), params) ||
        !EVP_MAC_update(context.get(), header.data(), header.size()) ||
        !EVP_MAC_update(context.get(), message.data() + kStunHeaderBytes, at - kStunHeaderBytes) ||
        !EVP_MAC_final(context.get(), out.data(), &outBytes, out.size()) || outBytes != out.size())
        return std::nullopt;
    return out;
}

uint32_t Fingerprint(std::span<const uint8_t> message, size_t at)
{
    return static_cast<uint32_t>(crc32(0, message.data(), static_cast<uInt>(at))) ^ kFingerprintXor;
}

bool AttributeAt(std::span<const uint8_t> message, size_t at, uint16_t type, size_t valueBytes)
{
    return at >= kStunHeaderBytes && at <= message.size() &&
           message.size() - at >= kAttributeHeaderBytes + valueBytes && Get16(&message[at]) == type &&
           Get16(&message[at + 2]) == valueBytes;
}

std::vector<uint8_t> Header(uint16_t type, const TransactionId& transaction)
{
    std::vector<uint8_t> out;
    out.reserve(kStunHeaderBytes + 128);
    Put16(out, type);
    Put16(out, 0); // set as each signature needs it
    Put32(out, kStunMagicCookie);
    out.insert(out.end(), transaction.begin(), transaction.end());
    return out;
}

// MESSAGE-INTEGRITY then FINGERPRINT after the attributes already in `out`; empty when
// there is no key to sign with.
std::vector<uint8_t> Sign(std::vector<uint8_t> out, std::string_view password)
{
    const size_t integrityAt = out.size();
    SetLength(out, integrityAt + kAttributeHeaderBytes + kIntegrityBytes - kStunHeaderBytes);
    const auto integrity = Integrity(out, integrityAt, password);
    if (!integrity)
        return {};
    Put16(out, kMessageIntegrity);
    Put16(out, kIntegrityBytes);
    out.insert(out.end(), integrity->begin(), integrity->end());

    const size_t fingerprintAt = out.size();
    SetLength(out, fingerprintAt + kAttributeHeaderBytes + kFingerprintBytes - kStunHeaderBytes);
    const uint32_t fingerprint = Fingerprint(out, fingerprintAt);
    Put16(out, kFingerprint);
    Put16(out, kFingerprintBytes);
    Put32(out, fingerprint);
    return out;
}

} // namespace

Endpoint Endpoint::V4(std::array<uint8_t, 4> address, uint16_t port)
{
    Endpoint endpoint;
    std::copy(address.begin(), address.end(), endpoint.ip.begin());
    endpoint.port = port;
    return endpoint;
}

Endpoint Endpoint::V6(const std::array<uint8_t, 16>& address, uint16_t port)
{
    return Endpoint{address, true, port};
}

std::optional<Endpoint> Endpoint::Parse(std::string_view address, uint16_t port)
{
    const std::string text(address); // inet_pton wants a terminated string
    Endpoint endpoint;
    endpoint.port = port;
    if (inet_pton(AF_INET, text.c_str(), endpoint.ip.data()) == 1)
        return endpoint;
    endpoint.v6 = true;
    if (inet_pton(AF_INET6, text.c_str(), endpoint.ip.data()) == 1)
        return endpoint;
    return std::nullopt;
}

std::string Endpoint::addressText() const
{
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(v6 ? AF_INET6 : AF_INET, ip.data(), text, sizeof text);
    return text;
}

bool LooksLikeStun(std::span<const uint8_t> datagram)
{
    if (datagram.size() < kStunHeaderBytes || (datagram[0] & 0xC0) != 0)
        return false;
    const size_t length = Get16(&datagram[2]);
    return length % 4 == 0 && length == datagram.size() - kStunHeaderBytes && Get32(&datagram[4]) == kStunMagicCookie;
}

std::optional<BindingRequest> ReadBindingRequest(std::span<const uint8_t> datagram)
{
    if (!LooksLikeStun(datagram) || Get16(&datagram[0]) != kBindingRequest)
        return std::nullopt;
    BindingRequest request;
    std::copy_n(datagram.begin() + 8, request.transaction.size(), request.transaction.begin());
    request.datagramBytes = datagram.size();

    enum Seen : unsigned { Username = 1, Priority = 2, UseCandidate = 4, Role = 8, Integrity = 16, Fingerprint = 32 };
    unsigned seen = 0;
    // Each attribute is seen at most once, has its one right length, and after
    // MESSAGE-INTEGRITY only FINGERPRINT may come, after which nothing may.
    auto first = [&](Seen what, bool lengthRight) {
        const bool fresh = lengthRight && (seen & what) == 0;
        seen |= what;
        return fresh;
    };
    size_t at = kStunHeaderBytes;
    while (at < datagram.size()) {
        if (datagram.size() - at < kAttributeHeaderBytes)
            return std::nullopt;
        const uint16_t type = Get16(&datagram[at]);
        const size_t length = Get16(&datagram[at + 2]);
        const size_t valueAt = at + kAttributeHeaderBytes;
        const size_t padded = (length + 3) & ~size_t{3};
        if (padded > datagram.size() - valueAt || (seen & Fingerprint) != 0 ||
            ((seen & Integrity) != 0 && type != kFingerprint))
            return std::nullopt;
        const uint8_t* value = &datagram[valueAt];
        bool ok = true;
        switch (type) {
        case kUsername:
            ok = first(Username, length > 0 && length <= kMaxUsernameBytes);
            request.username = std::string_view(reinterpret_cast<const char*>(value), length);
            break;
        case kPriority:
            ok = first(Priority, length == 4);
            request.priority = ok ? Get32(value) : 0;
            break;
        case kUseCandidate:
            ok = first(UseCandidate, length == 0);
            request.useCandidate = true;
            break;
        case kIceControlling:
        case kIceControlled:
            ok = first(Role, length == 8);
            request.role = type == kIceControlling ? IceRole::Controlling : IceRole::Controlled;
            request.tieBreaker = ok ? uint64_t{Get32(value)} << 32 | Get32(value + 4) : 0;
            break;
        case kMessageIntegrity:
            ok = first(Integrity, length == kIntegrityBytes);
            request.integrityAt = at;
            break;
        case kFingerprint:
            ok = first(Fingerprint, length == kFingerprintBytes);
            request.fingerprintAt = at;
            break;
        default:
            // Comprehension-optional attributes (browsers add a few of their own) are
            // skipped; a required one we do not know means a request we cannot honour.
            ok = type >= 0x8000;
        }
        if (!ok)
            return std::nullopt;
        at = valueAt + padded;
    }
    constexpr unsigned required = Username | Priority | Integrity | Fingerprint;
    if ((seen & required) != required)
        return std::nullopt;
    return request;
}

std::optional<UsernameParts> SplitUsername(std::string_view username)
{
    const size_t colon = username.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon + 1 == username.size())
        return std::nullopt;
    return UsernameParts{username.substr(0, colon), username.substr(colon + 1)};
}

bool VerifyFingerprint(std::span<const uint8_t> message, size_t at)
{
    if (!AttributeAt(message, at, kFingerprint, kFingerprintBytes) ||
        at + kAttributeHeaderBytes + kFingerprintBytes != message.size())
        return false;
    std::array<uint8_t, 4> expected;
    const uint32_t crc = Fingerprint(message, at);
    for (size_t i = 0; i < expected.size(); ++i)
        expected[i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
    return CRYPTO_memcmp(expected.data(), &message[at + kAttributeHeaderBytes], expected.size()) == 0;
}

bool VerifyMessageIntegrity(std::span<const uint8_t> message, size_t at, std::string_view password)
{
    if (!AttributeAt(message, at, kMessageIntegrity, kIntegrityBytes))
        return false;
    const auto expected = Integrity(message, at, password);
    return expected && CRYPTO_memcmp(expected->data(), &message[at + kAttributeHeaderBytes], expected->size()) == 0;
}

bool VerifyBindingRequest(std::span<const uint8_t> datagram, const BindingRequest& request, std::string_view password)
{
    // The cheap check first: a datagram mangled on the way fails here without an HMAC.
    return request.datagramBytes == datagram.size() && VerifyFingerprint(datagram, request.fingerprintAt) &&
           VerifyMessageIntegrity(datagram, request.integrityAt, password);
}

std::vector<uint8_t> WriteBindingSuccess(const TransactionId& transaction, const Endpoint& sender,
                                         std::string_view password)
{
    if (password.empty())
        return {};
    std::vector<uint8_t> out = Header(kBindingSuccess, transaction);

    // The address is XORed with the cookie (and for IPv6 the transaction id after it), so
    // that middleboxes rewriting addresses they recognise in payloads leave it alone.
    const size_t addressBytes = sender.v6 ? 16 : 4;
    Put16(out, kXorMappedAddress);
    Put16(out, static_cast<uint16_t>(4 + addressBytes));
    Put16(out, sender.v6 ? 0x02 : 0x01);
    Put16(out, static_cast<uint16_t>(sender.port ^ (kStunMagicCookie >> 16)));
    for (size_t i = 0; i < addressBytes; ++i)
        out.push_back(sender.ip[i] ^ out[4 + i]); // cookie, then transaction id

    return Sign(std::move(out), password);
}

std::vector<uint8_t> WriteBindingRequest(const TransactionId& transaction, std::string_view username,
                                         std::string_view password, uint32_t priority, bool useCandidate,
                                         uint64_t tieBreaker)
{
    if (!SplitUsername(username) || username.size() > kMaxUsernameBytes)
        return {};
    std::vector<uint8_t> out = Header(kBindingRequest, transaction);
    Put16(out, kUsername);
    Put16(out, static_cast<uint16_t>(username.size()));
    out.insert(out.end(), username.begin(), username.end());
    out.resize((out.size() + 3) & ~size_t{3}, 0);
    Put16(out, kPriority);
    Put16(out, 4);
    Put32(out, priority);
    Put16(out, kIceControlling);
    Put16(out, 8);
    Put32(out, static_cast<uint32_t>(tieBreaker >> 32));
    Put32(out, static_cast<uint32_t>(tieBreaker));
    if (useCandidate) {
        Put16(out, kUseCandidate);
        Put16(out, 0);
    }
    return Sign(std::move(out), password);
}

std::optional<Endpoint> ReadBindingSuccess(std::span<const uint8_t> datagram, const TransactionId& transaction,
                                           std::string_view password)
{
    if (!LooksLikeStun(datagram) || Get16(&datagram[0]) != kBindingSuccess ||
        !std::equal(transaction.begin(), transaction.end(), datagram.begin() + 8))
        return std::nullopt;
    std::optional<Endpoint> mapped;
    size_t integrityAt = 0, fingerprintAt = 0;
    for (size_t at = kStunHeaderBytes; at + kAttributeHeaderBytes <= datagram.size();) {
        const uint16_t type = Get16(&datagram[at]);
        const size_t length = Get16(&datagram[at + 2]);
        const size_t valueAt = at + kAttributeHeaderBytes;
        if (length > datagram.size() - valueAt)
            return std::nullopt;
        const uint8_t* value = &datagram[valueAt];
        if (type == kXorMappedAddress && !integrityAt && (length == 8 || length == 20)) {
            const bool v6 = value[1] == 0x02;
            if (v6 != (length == 20))
                return std::nullopt;
            Endpoint endpoint;
            endpoint.v6 = v6;
            endpoint.port = static_cast<uint16_t>(Get16(value + 2) ^ (kStunMagicCookie >> 16));
            for (size_t i = 0; i < (v6 ? 16u : 4u); ++i)
                endpoint.ip[i] = value[4 + i] ^ datagram[4 + i]; // cookie, then transaction id
            mapped = endpoint;
        } else if (type == kMessageIntegrity && !integrityAt) {
            integrityAt = at;
        } else if (type == kFingerprint) {
            fingerprintAt = at;
        }
        at = valueAt + ((length + 3) & ~size_t{3});
    }
    if (!mapped || !integrityAt || !fingerprintAt || !VerifyFingerprint(datagram, fingerprintAt) ||
        !VerifyMessageIntegrity(datagram, integrityAt, password))
        return std::nullopt;
    return mapped;
}

} // namespace rtc

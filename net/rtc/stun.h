#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace rtc {

// An address and port as the socket saw them. IPv4 sits in the first four bytes of ip;
// the rest stay zero, so that two equal addresses compare equal.
struct Endpoint {
    std::array<uint8_t, 16> ip{};
    bool v6 = false;
    uint16_t port = 0;

    // a.b.c.d as the four bytes in network order.
    static Endpoint V4(std::array<uint8_t, 4> address, uint16_t port);
    static Endpoint V6(const std::array<uint8_t, 16>& address, uint16_t port);
    // The textual forms inet_pton takes ("192.0.2.1", "2001:db8::1"); nothing for others.
    static std::optional<Endpoint> Parse(std::string_view address, uint16_t port);
    // The address alone, as inet_ntop writes it.
    std::string addressText() const;

    bool operator==(const Endpoint&) const = default;
};

constexpr size_t kStunHeaderBytes = 20;
constexpr uint32_t kStunMagicCookie = 0x2112A442;
// RFC 8489's limit on USERNAME's value.
constexpr size_t kMaxUsernameBytes = 513;

using TransactionId = std::array<uint8_t, 12>;

// Whether a datagram is a STUN message rather than DTLS or the native clients' protocol
// sharing the port: the top two bits clear, the magic cookie, and a length field that
// is a multiple of 4 and accounts for the whole datagram. Looks at 20 bytes at most.
bool LooksLikeStun(std::span<const uint8_t> datagram);

enum class IceRole : uint8_t { Unstated, Controlling, Controlled };

// A connectivity check as read, before it is authenticated: nothing in it may be acted
// on until VerifyBindingRequest says the sender knows the password.
struct BindingRequest {
    TransactionId transaction{};
    std::string_view username; // into the datagram: "ourUfrag:theirUfrag"
    uint32_t priority = 0;
    bool useCandidate = false;
    IceRole role = IceRole::Unstated;
    uint64_t tieBreaker = 0;
    // Offsets from the start of the datagram of the two attributes' headers.
    size_t integrityAt = 0;
    size_t fingerprintAt = 0;
    size_t datagramBytes = 0;
};

// Reads a Binding request as browsers send them for ICE. Anything else, or anything
// malformed, gives nothing: a wrong class or method, a truncated or overlong attribute,
// a comprehension-required attribute we do not know, a repeated one, anything after
// FINGERPRINT or between MESSAGE-INTEGRITY and it, or a missing USERNAME, PRIORITY,
// MESSAGE-INTEGRITY or FINGERPRINT (ICE requires them all). Never reads past the datagram.
std::optional<BindingRequest> ReadBindingRequest(std::span<const uint8_t> datagram);

// The two halves of USERNAME: the ufrag we gave (which names the session and so its
// password) and the peer's. Nothing when there is no colon or either half is empty.
struct UsernameParts {
    std::string_view local, remote;
};
std::optional<UsernameParts> SplitUsername(std::string_view username);

// FINGERPRINT at offset `at` (its attribute header) against the bytes before it; the
// attribute must end the message.
bool VerifyFingerprint(std::span<const uint8_t> message, size_t at);
// MESSAGE-INTEGRITY at offset `at` with the short-term key `password` (the ICE
// password as given, without SASLprep: ICE passwords are plain ASCII).
bool VerifyMessageIntegrity(std::span<const uint8_t> message, size_t at, std::string_view password);
// Both, for a request ReadBindingRequest accepted from this very datagram.
bool VerifyBindingRequest(std::span<const uint8_t> datagram, const BindingRequest& request, std::string_view password);

// The most a success response can exceed the request it answers, in bytes. The response
// is 64 bytes for an IPv4 sender and 76 for IPv6 (header, XOR-MAPPED-ADDRESS,
// MESSAGE-INTEGRITY, FINGERPRINT); the smallest request ReadBindingRequest accepts is
// 68 (header, a one-byte USERNAME padded to 4, PRIORITY, MESSAGE-INTEGRITY,
// FINGERPRINT). So nobody can use us to send more than they sent, save these 8 bytes.
constexpr size_t kMaxResponseGrowth = 8;

// A Binding success response to `transaction`, telling the sender the address we saw,
// signed with the same password the request was verified with. Empty for an empty
// password (HMAC would take it as "no key").
std::vector<uint8_t> WriteBindingSuccess(const TransactionId& transaction, const Endpoint& sender,
                                         std::string_view password);

// The browser's side, for tools and tests that play one. A connectivity check as a
// controlling agent sends it: username "theirUfrag:ourUfrag", signed with their password.
// Empty for an empty password or a username ReadBindingRequest would refuse.
std::vector<uint8_t> WriteBindingRequest(const TransactionId& transaction, std::string_view username,
                                         std::string_view password, uint32_t priority, bool useCandidate,
                                         uint64_t tieBreaker);
// The address a success response to `transaction` says it saw us at, when the response
// is one, is signed with `password` and its FINGERPRINT holds; nothing otherwise.
std::optional<Endpoint> ReadBindingSuccess(std::span<const uint8_t> datagram, const TransactionId& transaction,
                                           std::string_view password);

} // namespace rtc

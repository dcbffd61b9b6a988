// Any bytes as a datagram on the shared port and as an offer: the STUN reader, verifier
// and writer, and the offer reader and answer writer must take them without a fault.
// Two properties are checked as well: a response never outgrows the request it answers
// by more than kMaxResponseGrowth, and it verifies with the password that signed it.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "net/rtc/sdp.h"
#include "net/rtc/stun.h"

namespace {

// RFC 5769's, so that its sample request in the corpus verifies and reaches the writer.
constexpr std::string_view kPassword = "VOkJxbRl1RmTxUk/WvJxBt";

void Stun(std::span<const uint8_t> datagram)
{
    (void)rtc::LooksLikeStun(datagram);
    // The verifiers take offsets from callers too: any offset must be safe.
    if (datagram.size() >= 2) {
        const size_t at = static_cast<size_t>(datagram[0] << 8 | datagram[1]);
        (void)rtc::VerifyFingerprint(datagram, at);
        (void)rtc::VerifyMessageIntegrity(datagram, at, kPassword);
    }
    const auto request = rtc::ReadBindingRequest(datagram);
    if (!request)
        return;
    (void)rtc::SplitUsername(request->username);
    if (!rtc::VerifyBindingRequest(datagram, *request, kPassword))
        return;
    rtc::Endpoint sender;
    sender.v6 = (request->priority & 1) != 0;
    sender.port = static_cast<uint16_t>(request->priority >> 8);
    for (size_t i = 0; i < sender.ip.size(); ++i)
        sender.ip[i] = static_cast<uint8_t>(request->tieBreaker >> (i % 8 * 8));
    const auto response = rtc::WriteBindingSuccess(request->transaction, sender, kPassword);
    if (response.size() > datagram.size() + rtc::kMaxResponseGrowth ||
        !rtc::VerifyMessageIntegrity(response, response.size() - 32, kPassword) ||
        !rtc::VerifyFingerprint(response, response.size() - 8))
        __builtin_trap();
}

void Sdp(std::string_view text)
{
    const auto offer = rtc::ReadOffer(text);
    if (!offer)
        return;
    rtc::AnswerParams params;
    params.ice.ufrag = offer->iceUfrag;
    params.ice.pwd = offer->icePwd;
    params.sessionId = offer->maxMessageSize;
    params.candidates = {rtc::Endpoint::V4({192, 0, 2, 1}, offer->sctpPort)};
    (void)rtc::WriteAnswer(*offer, params);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Stun({data, size});
    Sdp({reinterpret_cast<const char*>(data), size});
    return 0;
}

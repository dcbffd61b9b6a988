#include "net/server/input_queue.h"

#include "protocol/compact.h"

namespace skirmish {

void InputQueue::add(Bytes&& packet)
{
    size_t pos = 0;
    if (!NextMessage(packet, pos, version_))
        return;
    bytes_ += packet.size();
    packets_.push_back(std::move(packet));
}

std::span<const uint8_t> InputQueue::peek() const
{
    size_t pos = read_;
    return *NextMessage(packets_.front(), pos, version_);
}

void InputQueue::take(Bytes& message)
{
    message.clear();
    const Bytes& packet = packets_.front();
    const size_t from = read_;
    std::span<const uint8_t> next = *NextMessage(packet, read_, version_);
    if (version_ == WireVersion::V1)
        message.assign(next.begin(), next.end());
    else
        compact::DecodeCommand(next, message);
    if (message.size() > kMaxMessageBytes) // a verbatim one is a byte longer than what it carries
        message.resize(kMaxMessageBytes);
    size_t probe = read_;
    if (!NextMessage(packet, probe, version_)) { // nothing whole is left: the packet is done
        bytes_ -= packet.size() - from;
        packets_.pop_front();
        read_ = 0;
    } else {
        bytes_ -= read_ - from;
    }
}

} // namespace skirmish

#pragma once

#include <functional>
#include <list>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

namespace skirmish::web {

// The network an address belongs to, as one party is likely to hold it: an IPv4
// address's /24, an IPv6 address's /64 (an IPv4 address mapped into IPv6 is IPv4).
std::string SubnetOf(const std::string& address);

// The connections that are not players, oldest first. Room for a new one is made
// by closing the oldest kept-alive connection that waits idle (of the same address
// when that address is at its cap); with none idle, by closing the oldest of the
// subnet holding the most, when that holds more than the newcomer's; else the new
// one is refused. So many addresses of one network cannot shut out another.
class WebSlots {
public:
    struct Entry {
        std::string address;
        std::string subnet;
        bool idle = false;
        std::function<void()> close; // ends the connection and gives its slot back
    };
    using Handle = std::list<Entry>::iterator;

    std::optional<Handle> take(const std::string& address);

    void release(Handle handle);

private:
    std::nullopt_t refuse(const std::string& address);

    // The subnet holding the most gives way to one that holds fewer.
    bool makeRoomFor(const std::string& subnet);

    bool closeOldest(const std::function<bool(const Entry&)>& eligible);

    std::list<Entry> entries_;
    std::unordered_map<std::string, int> perAddress_;
    std::unordered_map<std::string, int> perSubnet_;
};


// A connection's place among those that are not players, held until released.
class WebSlot {
public:
    WebSlot(WebSlots& slots, WebSlots::Handle handle) : slots_(&slots), handle_(handle) {}
    WebSlot(WebSlot&& other) noexcept : slots_(std::exchange(other.slots_, nullptr)), handle_(other.handle_) {}
    WebSlot& operator=(WebSlot&&) = delete;
    ~WebSlot() { release(); }
    // How the holder's connection is ended when its room is needed; it gives the slot
    // back first, so the holder must forget() it.
    void setCloser(std::function<void()> close)
    {
        if (slots_)
            handle_->close = std::move(close);
    }
    // Idle: waiting for the next request, and the first to give way when room is needed.
    void setIdle(bool idle)
    {
        if (slots_)
            handle_->idle = idle;
    }
    void release()
    {
        if (slots_)
            slots_->release(handle_);
        slots_ = nullptr;
    }
    // Closing an idle connection to make room has released its slot already.
    void forget() { slots_ = nullptr; }

private:
    WebSlots* slots_;
    WebSlots::Handle handle_;
};


} // namespace skirmish::web

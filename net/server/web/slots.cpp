#include "net/server/web/slots.h"

#include <algorithm>

#include "net/server/web/common.h"

namespace skirmish::web {

std::string SubnetOf(const std::string& address)
{
    beast::error_code ec;
    asio::ip::address parsed = asio::ip::make_address(address, ec);
    if (ec)
        return address;
    if (parsed.is_v6() && parsed.to_v6().is_v4_mapped())
        parsed = asio::ip::make_address_v4(asio::ip::v4_mapped, parsed.to_v6());
    if (parsed.is_v4()) {
        auto bytes = parsed.to_v4().to_bytes();
        bytes[3] = 0;
        return asio::ip::address_v4(bytes).to_string() + "/24";
    }
    auto bytes = parsed.to_v6().to_bytes();
    std::fill(bytes.begin() + 8, bytes.end(), 0);
    return asio::ip::address_v6(bytes).to_string() + "/64";
}

std::optional<WebSlots::Handle> WebSlots::take(const std::string& address)
{
    if (perAddress_[address] >= kMaxWebConnectionsPerAddress &&
        !closeOldest([&](const Entry& entry) { return entry.idle && entry.address == address; }))
        return refuse(address);
    std::string subnet = SubnetOf(address);
    if (entries_.size() >= static_cast<size_t>(kMaxWebConnections) &&
        !closeOldest([](const Entry& entry) { return entry.idle; }) && !makeRoomFor(subnet))
        return refuse(address);
    ++perAddress_[address];
    ++perSubnet_[subnet];
    return entries_.insert(entries_.end(), Entry{address, std::move(subnet), false, {}});
}

void WebSlots::release(Handle handle)
{
    if (--perAddress_[handle->address] == 0)
        perAddress_.erase(handle->address);
    if (--perSubnet_[handle->subnet] == 0)
        perSubnet_.erase(handle->subnet);
    entries_.erase(handle);
}

std::nullopt_t WebSlots::refuse(const std::string& address)
{
    if (perAddress_[address] == 0)
        perAddress_.erase(address);
    return std::nullopt;
}

bool WebSlots::makeRoomFor(const std::string& subnet)
{
    auto most = std::max_element(perSubnet_.begin(), perSubnet_.end(),
                                 [](const auto& a, const auto& b) { return a.second < b.second; });
    auto held = perSubnet_.find(subnet);
    if (most == perSubnet_.end() || most->second <= (held == perSubnet_.end() ? 0 : held->second))
        return false;
    const std::string crowded = most->first; // a copy: the count may go with the last one
    return closeOldest([&](const Entry& entry) { return entry.subnet == crowded; });
}

bool WebSlots::closeOldest(const std::function<bool(const Entry&)>& eligible)
{
    for (auto entry = entries_.begin(); entry != entries_.end(); ++entry) {
        if (!entry->close || !eligible(*entry))
            continue;
        auto close = std::move(entry->close);
        release(entry);
        close();
        return true;
    }
    return false;
}
} // namespace skirmish::web

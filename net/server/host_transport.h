#pragma once

#include <memory>

#include "net/server/net.h"
#include "net/server/transport.h"

namespace skirmish {

// ENet on the UDP port and the web front on the TCP port of the same number, as
// one transport over one wait. If the web front cannot open, the console says why
// and the game goes on over UDP alone. Browsers' data channels share the UDP port;
// datagramAddress (when not empty) is where they are told to reach it.
std::unique_ptr<Transport> MakeHostTransport(WebPages pages, std::string datagramAddress = {});

} // namespace skirmish

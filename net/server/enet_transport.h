#pragma once

#include <memory>

#include "net/server/transport.h"

namespace skirmish {

// ENet on the UDP port: the whole transport when there is no web front, else its UDP half.
std::unique_ptr<Transport> MakeEnetTransport();

} // namespace skirmish

#pragma once

#include <memory>

#include "net/server/transport.h"

namespace skirmish {

// Limits against abuse; our largest message is well under 1 KB.
constexpr size_t kMaxIncomingPacketBytes = 64 * 1024;
// Unacknowledged outgoing data one client may hold back before it is dropped as gone.
constexpr size_t kMaxOutgoingBacklogBytes = 4 * 1024 * 1024;
// A client that answers nothing for this long is dropped.
constexpr uint32_t kSilentPeerTimeoutMs = 10000;

std::unique_ptr<Transport> MakeEnetTransport();

// Starts ENet once per process; false when it cannot.
bool EnsureEnetInitialised();

} // namespace skirmish

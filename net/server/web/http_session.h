#pragma once

#include <memory>

#include "net/server/web/state.h"

namespace skirmish::web {

// Serves one accepted HTTP connection, which holds the slot until it ends: GET and
// HEAD of the pages (files and pages that read the disk go to the disk thread), and
// the upgrade of /ws and /watch to a WebSocket.
void ServeHttp(tcp::socket&& socket, const std::shared_ptr<State>& state, WebSlot slot);

} // namespace skirmish::web

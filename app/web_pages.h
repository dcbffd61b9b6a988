#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "app/server_options.h"
#include "net/server/net.h"

namespace skirmish {

// One file of the game page, compiled into the binary.
struct WebAsset {
    std::string_view path; // "/" for the page itself
    std::string_view contentType;
    std::span<const unsigned char> bytes;
};
const std::vector<WebAsset>& WebAssets();

struct Level;
struct LoopState;

// What the web front serves: the game page and its files, "/healthz", "/metrics"
// (Prometheus text) and "/status.json" (for server lists) read from the level and the
// loop, which must outlive hosting; the status's name and page address as options say.
WebPages ServerWebPages(const Level& level, const LoopState& loop, const ServerOptions& options = {});

} // namespace skirmish

#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "net/net.h"

namespace skirmish {

// One file of the game page, compiled into the binary.
struct WebAsset {
    std::string_view path; // "/" for the page itself
    std::string_view contentType;
    std::span<const unsigned char> bytes;
};
const std::vector<WebAsset>& WebAssets();

// What the web front serves: the game page and its files, and "/healthz".
WebPages ServerWebPages();

} // namespace skirmish

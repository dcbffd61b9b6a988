#include "app/web_pages.h"

namespace skirmish {

WebPages ServerWebPages()
{
    WebPages pages;
    for (const WebAsset& asset : WebAssets()) {
        std::string text(asset.bytes.begin(), asset.bytes.end());
        pages.emplace(std::string(asset.path), WebPage{std::string(asset.contentType), [text] { return text; }});
    }
    // Answered from the loop itself, so a 200 means the server is hosting.
    pages.emplace("/healthz", WebPage{"text/plain; charset=utf-8", [] { return std::string("ok\n"); }});
    return pages;
}

} // namespace skirmish

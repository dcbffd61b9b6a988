#pragma once

#include <memory>
#include <unordered_map>
#include <vector>

#include "net/server/web/common.h"
#include "net/server/web/downloads.h"
#include "net/server/web/slots.h"

namespace skirmish {
namespace web {
class WsSession;
} // namespace web

// What every connection of the web front shares with the front itself.
struct WebFront::State {
    boost::asio::io_context& io;
    TransportEvents* events; // null once the front is gone: late endings report nothing
    WebPages pages;
    boost::asio::ip::tcp::acceptor acceptor;
    boost::asio::steady_timer acceptRetry;
    std::unordered_map<int, web::WsSession*> players; // and spectators: every connection with an id
    std::vector<std::shared_ptr<web::WsSession>> heldBack; // readers waiting for room in the inbox
    std::vector<std::shared_ptr<web::WsSession>> drops;    // stalled, ended at the next service
    web::WebSlots slots;
    WebFront::Signalling signalling;
    bool closing = false;
    // Sessions whose connection the disk thread answers, kept (with their slots) until it is done.
    std::unordered_map<uint64_t, std::shared_ptr<void>> onDisk;
    uint64_t lastOnDisk = 0;
    std::unique_ptr<web::DiskThread> disk = std::make_unique<web::DiskThread>();

    State(boost::asio::io_context& context, TransportEvents& transportEvents, WebPages webPages)
        : io(context), events(&transportEvents), pages(std::move(webPages)), acceptor(context), acceptRetry(context)
    {
    }
};

} // namespace skirmish

#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace skirmish {

// One HTTP/1.1 request: "POST" "/ready" "{}". A body is sent as JSON.
struct HttpCall {
    std::string method;
    std::string target;
    std::string body = {};
    bool operator==(const HttpCall&) const = default;
};

// The answer's status, 0 when there was none: no connection, a malformed answer,
// or nothing whole within the time allowed.
struct HttpAnswer {
    int status = 0;
    std::string body;
};

// Connects to address:port (a numeric address), sends the call on a connection of its
// own and reads the answer, all of it within timeout: a peer that accepts and never
// answers costs the caller that long at most. Answers over 64 KiB count as none.
HttpAnswer CallHttp(const std::string& address, uint16_t port, const HttpCall& call,
                    std::chrono::milliseconds timeout);

} // namespace skirmish

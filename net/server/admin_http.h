#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/server/net.h"

namespace skirmish {

// One bearer token of the operators' HTTP endpoint: what its holder may do (the role,
// which the commands' side reads) and who they are, for the audit.
struct AdminToken {
    std::string token;
    std::string role;
    std::string name;
};

// A wrong token's 401 waits this long, doubled for each further wrong one from the
// same address up to the most; every request from that address waits as long, so
// that guessing costs time however many connections it opens.
constexpr std::chrono::milliseconds kAdminHttpFirstPenalty{250};
constexpr std::chrono::milliseconds kAdminHttpMostPenalty{16000};
// An address's wrong tokens are forgotten once it has sent none for this long.
constexpr std::chrono::minutes kAdminHttpForgetFailures{15};
// Requests in flight at once, over all addresses and from one.
constexpr int kAdminHttpMostConnections = 32;
constexpr int kAdminHttpMostPerAddress = 4;
// A request whose command the loop has not answered by then gets 503.
constexpr std::chrono::seconds kAdminHttpAnswerWait{30};
// At the exit, answers being written are given this long to go out.
constexpr std::chrono::seconds kAdminHttpExitWait{1};

// "POST /admin" with "Authorization: Bearer TOKEN" and one command line as its body,
// on a TCP address of its own, served by a thread of its own. A request whose token
// is right waits in take() for the loop, which answers it with answer(); the thread
// never touches anything of the loop's.
class AdminHttp {
public:
    struct Request {
        uint64_t id = 0;
        std::string line;
        std::string role; // the token's
        std::string who;  // the token's name and the peer's address
    };

    explicit AdminHttp(std::vector<AdminToken> tokens);
    ~AdminHttp();
    AdminHttp(const AdminHttp&) = delete;
    AdminHttp& operator=(const AdminHttp&) = delete;

    // Listens on address:port (port 0: any free one) and starts the thread.
    bool open(const std::string& address, uint16_t port, std::string& error);
    uint16_t port() const;
    // The requests that came since the last take, in order.
    std::vector<Request> take();
    // status 200, or 403 for a command the token's role may not give. more: the rest
    // of a long answer, pulled a piece at a time on the HTTP thread, so it must read
    // only what it holds.
    void answer(uint64_t id, int status, std::string text, std::function<bool(std::string& to)> more = nullptr);
    // Readable while requests wait to be taken.
    Wake wake() const;

    struct State;

private:
    std::unique_ptr<State> state_;
};

// "127.0.0.1:8080" or "[::1]:8080" split into its address and port; false when it is neither.
bool SplitHostPort(const std::string& text, std::string& address, uint16_t& port);

} // namespace skirmish

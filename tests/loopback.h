#pragma once
// The server's network layer on real sockets on loopback, bound to port 0 so that tests
// never meet a running server. The server is serviced on the test's thread; clients
// run on threads of their own, as they would in their own process.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <vector>

#include "net/client/client.h"
#include "net/server/net.h"
#include "within.h"

namespace skirmish::testing {

struct LoopbackHost : ::testing::Test {
    void SetUp() override
    {
        NetUseTransport(nullptr);
        NetSetPort(0);
    }
    void TearDown() override
    {
        NetUseTransport(nullptr);
        NetSetWebPages({});
    }

    // Runs work on a thread while the server is serviced here, and returns its result.
    template <typename Work>
    static auto WhileServing(Work work)
    {
        auto result = std::async(std::launch::async, work);
        while (result.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready)
            NetService(1);
        return result.get();
    }

    // Services the server until done() or the time runs out.
    static bool ServeUntil(const std::function<bool()>& done, int timeoutMs = 5000)
    {
        return Within(timeoutMs, [&] { return done() || (NetService(1), false); });
    }

    // Connects two clients over ENet while serving, the second with channels, and takes their joins.
    static bool JoinTwo(NetClient& first, NetClient& second, size_t channels = 1)
    {
        return WhileServing([&] {
                   return first.connect("127.0.0.1", NetBoundPort(), 2000) &&
                          second.connect("127.0.0.1", NetBoundPort(), 2000, channels);
               }) && TakeJoins(2).size() == 2;
    }

    static std::vector<int> TakeJoins(size_t count)
    {
        std::vector<int> ids;
        ServeUntil([&] {
            while (int id = NetPlayerJoined())
                ids.push_back(id);
            return ids.size() >= count;
        });
        return ids;
    }

    static int TakeLeave(int timeoutMs = 5000)
    {
        int id = 0;
        ServeUntil([&] { return (id = NetPlayerLeft()) != 0; }, timeoutMs);
        return id;
    }

    // Services a client (not the server) until it lost its connection or the time runs out.
    static bool Lost(NetClient& client, int timeoutMs = 5000)
    {
        return Within(timeoutMs, [&] { return client.lostConnection() || (client.service(10), false); });
    }
};

} // namespace skirmish::testing

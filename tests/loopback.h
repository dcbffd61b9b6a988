#pragma once
// The server's network layer on real sockets on loopback, bound to port 0 so that tests
// never meet a running server. The server is serviced on the test's thread; clients
// run on threads of their own, as they would in their own process.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <vector>

#include "net/server/net.h"

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
        for (auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);; NetService(1))
            if (done())
                return true;
            else if (std::chrono::steady_clock::now() >= deadline)
                return false;
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
};

} // namespace skirmish::testing

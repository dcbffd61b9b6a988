#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

namespace skirmish::testing {

// A test client that holds a connection, serviced at every step of every wait on its thread
// (Within), whatever that wait is for: the server drops a peer silent for 5 s, and a wait for
// a browser or a subprocess can pass that on a busy machine. Servicing only sends, acknowledges
// and queues; what arrived stays for the test to read.
class KeptServiced {
public:
    explicit KeptServiced(std::function<void()> service) : service_(std::move(service)) { All().push_back(this); }
    ~KeptServiced() { std::erase(All(), this); }
    KeptServiced(const KeptServiced&) = delete;
    KeptServiced& operator=(const KeptServiced&) = delete;

    static void ServiceAll()
    {
        for (KeptServiced* client : All())
            client->service_();
    }

private:
    static std::vector<KeptServiced*>& All()
    {
        thread_local std::vector<KeptServiced*> all;
        return all;
    }
    std::function<void()> service_;
};

// Every wait on a socket or a process: step until it says done or ms have passed, keeping
// every client serviced meanwhile.
template <typename Step>
bool Within(int ms, Step step)
{
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms); !step();) {
        KeptServiced::ServiceAll();
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
    }
    return true;
}

// A wait for time alone (or for work on another thread, polled by done), clients serviced.
inline bool Pause(int ms, const std::function<bool()>& done = [] { return false; })
{
    return Within(ms, [&] { return done() || (std::this_thread::sleep_for(std::chrono::milliseconds(1)), false); });
}

} // namespace skirmish::testing

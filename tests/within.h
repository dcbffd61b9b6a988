#pragma once

#include <chrono>

namespace skirmish::testing {

// Every wait on a socket or a process: step until it says done or ms have passed.
template <typename Step>
bool Within(int ms, Step step)
{
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms); !step();)
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
    return true;
}

} // namespace skirmish::testing

#include "core/clock.h"

#include <chrono>

namespace skirmish {
namespace {

using Steady = std::chrono::steady_clock;
const Steady::time_point processStart = Steady::now();

class RealClock : public Clock {
public:
    int32_t now() override
    {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - processStart).count();
        // Keep the low 32 bits: the count wraps as a 32-bit millisecond clock does.
        return static_cast<int32_t>(static_cast<uint32_t>(ms));
    }
};

RealClock realClock;
Clock* installed = &realClock;

} // namespace

int32_t ReadClock() { return installed->now(); }

std::chrono::microseconds TimeUntilReading(std::chrono::nanoseconds sinceStart, int32_t readingsAhead)
{
    if (readingsAhead <= 0)
        return std::chrono::microseconds(0);
    const auto reading = std::chrono::floor<std::chrono::milliseconds>(sinceStart);
    return std::chrono::ceil<std::chrono::microseconds>(reading + std::chrono::milliseconds(readingsAhead) - sinceStart);
}

std::chrono::microseconds RealTimeUntilReading(int32_t readingsAhead)
{
    return TimeUntilReading(Steady::now() - processStart, readingsAhead);
}

Clock& InstalledClock() { return *installed; }

void SetClock(Clock* clock) { installed = clock ? clock : &realClock; }

} // namespace skirmish

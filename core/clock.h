#pragma once

#include <chrono>
#include <cstdint>

namespace skirmish {

// The process clock: milliseconds of real time since the process started, as a
// signed 32-bit count that wraps after about 24.8 days. Readings are compared
// only through ElapsedMs, which stays right across the wrap.
class Clock {
public:
    virtual ~Clock() = default;
    virtual int32_t now() = 0;
};

// A reading of the installed clock (the real one unless a test installed another).
int32_t ReadClock();

// The installed clock itself, for the one place that hands it down (the main loop).
Clock& InstalledClock();

// Installs a replacement clock; nullptr restores the real one. The caller keeps ownership.
void SetClock(Clock* clock);

// The real time until the real clock's reading is readingsAhead more than now: a wait
// of that long ends as the reading turns, so a step due at that reading is due as it
// ends (a wait of whole milliseconds from a moment inside one ends up to one later).
// Zero for none ahead. TimeUntilReading does the sum for a time since the clock began.
std::chrono::microseconds RealTimeUntilReading(int32_t readingsAhead);
std::chrono::microseconds TimeUntilReading(std::chrono::nanoseconds sinceStart, int32_t readingsAhead);

// now − then on the wrapping count: exact for readings less than 2^31 ms apart.
inline int32_t ElapsedMs(int32_t now, int32_t then)
{
    return static_cast<int32_t>(static_cast<uint32_t>(now) - static_cast<uint32_t>(then));
}

// A clock that moves only when told to, for tests and the fuzzer.
class FakeClock : public Clock {
public:
    explicit FakeClock(int32_t start = 0) : reading_(start) {}
    int32_t now() override { return reading_; }
    void set(int32_t reading) { reading_ = reading; }
    void advance(int32_t ms)
    {
        reading_ = static_cast<int32_t>(static_cast<uint32_t>(reading_) + static_cast<uint32_t>(ms));
    }

private:
    int32_t reading_;
};

// Installs a clock for the lifetime of this guard.
class ScopedClock {
public:
    explicit ScopedClock(Clock& clock) { SetClock(&clock); }
    ~ScopedClock() { SetClock(nullptr); }
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;
};

} // namespace skirmish

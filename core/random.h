#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <initializer_list>

namespace skirmish {

// The one process-wide pseudo-random generator, with the srand/rand interface.
class RandomGenerator {
public:
    virtual ~RandomGenerator() = default;
    virtual void seed(uint32_t seed) = 0;
    // A draw from 0 to 32767 inclusive.
    virtual int32_t next() = 0;
};

// The classic Windows runtime generator, so one seed gives one level on every platform.
class LinearRandom : public RandomGenerator {
public:
    void seed(uint32_t seed) override { state_ = seed; }
    int32_t next() override
    {
        state_ = state_ * 214013u + 2531011u;
        return static_cast<int32_t>((state_ >> 16) & 0x7FFF);
    }

private:
    uint32_t state_ = 1;
};

// Hands out a fixed list of draws; seeding is ignored. Past the list it gives 0
// and remembers that it ran dry, so a test can tell that more draws were made.
class ScriptedRandom : public RandomGenerator {
public:
    ScriptedRandom(std::initializer_list<int32_t> draws = {}) : draws_(draws) {}
    void seed(uint32_t) override {}
    int32_t next() override;
    void push(int32_t draw) { draws_.push_back(draw); }
    size_t remaining() const { return draws_.size(); }
    bool ranDry() const { return ranDry_; }

private:
    std::deque<int32_t> draws_;
    bool ranDry_ = false;
};

void SeedRandom(uint32_t seed); // srand
int32_t Random();               // rand

// Installs a replacement generator; nullptr restores the process's own. The caller keeps ownership.
void SetRandomGenerator(RandomGenerator* generator);

class ScopedRandom {
public:
    explicit ScopedRandom(RandomGenerator& generator) { SetRandomGenerator(&generator); }
    ~ScopedRandom() { SetRandomGenerator(nullptr); }
    ScopedRandom(const ScopedRandom&) = delete;
    ScopedRandom& operator=(const ScopedRandom&) = delete;
};

} // namespace skirmish

#include "core/random.h"

namespace skirmish {
namespace {

LinearRandom processGenerator;
RandomGenerator* installed = &processGenerator;

} // namespace

int32_t ScriptedRandom::next()
{
    if (draws_.empty()) {
        ranDry_ = true;
        return 0;
    }
    int32_t draw = draws_.front();
    draws_.pop_front();
    return draw;
}

void SeedRandom(uint32_t seed) { installed->seed(seed); }

int32_t Random() { return installed->next(); }

void SetRandomGenerator(RandomGenerator* generator) { installed = generator ? generator : &processGenerator; }

} // namespace skirmish

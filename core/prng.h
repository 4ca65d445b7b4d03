// The package's shared pseudo-random generator: a linear congruential
// generator drawn by `calc rand`, `calc rrand` and `calc scramble`, and by
// the classifier's distance blur. One state for the whole process.
#pragma once

#include <cstdint>

namespace krel {

struct Prng {
    uint32_t state = 1;
    void seed(uint32_t s) { state = s; }
    int next()
    {
        state = state * 22695477u + 1u;
        return static_cast<int>((state >> 16) & 0x7FFF);
    }
};
inline Prng &sharedPrng()
{
    static Prng prng;
    return prng;
}

}  // namespace krel

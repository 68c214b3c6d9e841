// Every random source of kestrin goes through this header, so that a later
// change (seeding for reproducible runs, another engine) touches one place.
//
// Three kinds of source exist:
//  - the process-wide C library generator, used for picks by index and for
//    shuffles; each of its users seeds it from the clock on its own first use
//    through a OnceSeedFlag;
//  - randomUniform / randomNormal, independent draws from an MT19937 kept per
//    thread and seeded once from the random device;
//  - each Network's own MT19937, seeded from deviceSeed() when it is built.
#pragma once

#include <cstdint>

namespace kestrin {

// Seeds the C library generator with the current time the first time
// seedIfFirstUse() is called on this flag. Several flags may each reseed it once.
class OnceSeedFlag {
public:
    void seedIfFirstUse();

private:
    bool pending_ = true;
};

// One value of the C library generator, in [0, RAND_MAX].
int libcRand();

// One 32-bit value from the system's non-deterministic random device.
uint32_t deviceSeed();

// A uniform double in [0, 1), built from two 32-bit engine outputs a, b as
// (a + b * 2^32) * 2^-64; a result of 1.0 becomes the largest double below it.
double randomUniform();

// A normal draw with mean 0 and the given standard deviation, by the Marsaglia
// polar method; the second variate of each pair is discarded.
double randomNormal(double stddev);

}  // namespace kestrin

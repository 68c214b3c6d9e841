// Every random source of kestrin goes through this header, so that a later
// change (seeding for reproducible runs, another engine) touches one place.
//
// Three kinds of source exist:
//  - the process-wide C library generator, used for picks by index and for
//    shuffles; each of its users seeds it from the clock on its own first use
//    through a OnceSeedFlag;
//  - randomUniform / randomNormal, independent draws from an MT19937 kept per
//    thread and seeded once from the random device (again in a forked child);
//  - each Network's own MT19937, seeded from deviceSeed() when it is built.
#pragma once

#include <cstdint>
#include <random>

namespace kestrin {

// MT19937 with 32-bit words: every draw is std::mt19937's from the same seed,
// but std::mt19937 stores its 624 words as 64-bit integers on x86-64 (5 kB, and
// a slower refill), this one in 2.5 kB.
using CompactMt19937 = std::mersenne_twister_engine<uint32_t, 32, 624, 397, 31, 0x9908b0df, 11, 0xffffffff, 7,
                                                    0x9d2c5680, 15, 0xefc60000, 18, 1812433253>;

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

// One 32-bit value from the system's non-deterministic random device (the
// kernel's pool behind /dev/urandom, read in blocks; a forked child does not
// reuse its parent's block).
uint32_t deviceSeed();

// A uniform double in [0, 1), built from two 32-bit engine outputs a, b as
// (a + b * 2^32) * 2^-64; a result of 1.0 becomes the largest double below it.
double randomUniform();

// A normal draw with mean 0 and the given standard deviation, by the Marsaglia
// polar method; the second variate of each pair is discarded.
double randomNormal(double stddev);

}  // namespace kestrin

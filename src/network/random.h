// Every random source of kestrin goes through this header, so that seeding
// (and any later source) touches one place.
//
// Three kinds of source exist:
//  - the process-wide C library generator, used for picks by index and for
//    shuffles; each of its users seeds it on its own first use through a
//    OnceSeedFlag, from the time mixed with the process id and a device value
//    (so that processes started in the same second draw differently);
//  - randomUniform / randomNormal, independent draws from an MT19937 kept per
//    thread;
//  - each Network's own MT19937, seeded from deviceSeed() when it is built.
//
// Unseeded, the per-thread engine and deviceSeed() come from the system's
// random device and nothing repeats from run to run.
//
// setRandomSeed() makes every source a stream derived from the seed: srand()
// with a derived value (and every OnceSeedFlag counts as used, so the clock
// never reseeds it), deviceSeed() and the per-thread engine from per-thread
// streams. The same sequence of calls then draws the same numbers; seeding
// again with the same seed replays it.
//
// Threads: each thread draws from its own streams. The thread that seeds gets
// stream 0; any other thread gets the next stream number at its first draw
// after the seeding (a thread that drew before starts afresh), so a program
// whose threads first draw in a fixed order is reproducible. The C library
// generator is process-wide: it is reproducible only while one thread draws.
//
// Forks: a child never repeats its parent's draws. In an unseeded process it
// draws from the device again (and reseeds the C library generator); in a
// seeded one its streams derive from the seed and the fork's number since the
// seeding (1 for the first fork), so forked workers of a seeded run are
// reproducible too, and a child that seeds itself replays that seed's run.
//
// Resuming: savedRandomStreams() captures a seeded process's streams as the
// calling thread would draw next (the seed's key, the thread's own streams,
// and the C library generator's seed with the count of values drawn since), and
// restoreRandomStreams() puts them back, in this or another process, so that
// an interrupted run continues with the draws it would have made.
//
// Cost: a draw reads one thread-local engine and one global counter, no lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

namespace kestrin {

// MT19937 with 32-bit words: every draw is std::mt19937's from the same seed,
// but std::mt19937 stores its 624 words as 64-bit integers on x86-64 (5 kB, and
// a slower refill), this one in 2.5 kB.
using CompactMt19937 = std::mersenne_twister_engine<uint32_t, 32, 624, 397, 31, 0x9908b0df, 11, 0xffffffff, 7,
                                                    0x9d2c5680, 15, 0xefc60000, 18, 1812433253>;

// Seeds the C library generator (time, process id and a device value) the
// first time seedIfFirstUse() is called on this flag, unless setRandomSeed()
// was called first. Several flags may each reseed it once.
class OnceSeedFlag {
public:
    void seedIfFirstUse();

private:
    // Atomic: threads mutating networks side by side reach it together.
    std::atomic<bool> pending_{true};
};

// One value of the C library generator, in [0, RAND_MAX].
int libcRand();

// One 32-bit seed for a new engine: from the system's random device (read in
// blocks; a forked child does not reuse its parent's block), or after
// setRandomSeed() from the thread's seeded stream.
uint32_t deviceSeed();

// One 32-bit value from the random device, seeded or not: for what must differ
// between processes even in a seeded run (names of temporary files), and must
// not take values from the seeded streams.
uint32_t unseededDeviceValue();

// A uniform double in [0, 1), built from two 32-bit engine outputs a, b as
// (a + b * 2^32) * 2^-64; a result of 1.0 becomes the largest double below it.
double randomUniform();

// A normal draw with mean 0 and the given standard deviation, by the Marsaglia
// polar method; the second variate of each pair is discarded.
double randomNormal(double stddev);
// count standard normal draws into out, by a ziggurat (Marsaglia and Tsang):
// most take two engine outputs and no logarithm, so a long run of draws costs
// a fraction of as many randomNormal calls. Other numbers than randomNormal's.
void randomNormals(double* out, size_t count);

// Derives every source from the seed given as its little-endian bytes (any
// length; trailing zero bytes do not count, so 7 and {7, 0} are one seed).
void setRandomSeed(const unsigned char* bytes, size_t count);
void setRandomSeed(uint64_t seed);

// The streams as text; empty when the calling thread's streams are not seeded.
std::string savedRandomStreams();
// Seeds the process with what savedRandomStreams gave, the calling thread
// taking the saved streams; std::invalid_argument for any other text.
void restoreRandomStreams(const std::string& saved);

}  // namespace kestrin

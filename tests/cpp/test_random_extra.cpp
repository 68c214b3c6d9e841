#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <future>
#include <set>
#include <thread>
#include <utility>

#include "network/random.h"

namespace kestrin {
namespace {

// 64 of each: more than the device values a thread keeps buffered.
struct Draws {
    uint32_t seeds[64];
    double uniforms[64];
    int libc[64];
};

Draws nextDraws() {
    Draws d{};
    for (uint32_t& s : d.seeds) s = deviceSeed();
    for (double& u : d.uniforms) u = randomUniform();
    for (int& r : d.libc) r = libcRand();
    return d;
}

// How many draws of each kind are equal, at the same position.
struct Same {
    int seeds = 0, uniforms = 0, libc = 0;
};

Same same(const Draws& a, const Draws& b) {
    Same s;
    for (int k = 0; k < 64; ++k) {
        s.seeds += a.seeds[k] == b.seeds[k];
        s.uniforms += a.uniforms[k] == b.uniforms[k];
        s.libc += a.libc[k] == b.libc[k];
    }
    return s;
}

// The draws of a forked child, which first seeds itself with seed unless it is negative.
Draws drawsInForkedChild(long long seed) {
    Draws inChild{};
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    EXPECT_GE(child, 0);
    if (child == 0) {
        if (seed >= 0) setRandomSeed(static_cast<uint64_t>(seed));
        const Draws d = nextDraws();
        const bool written = write(fds[1], &d, sizeof d) == static_cast<ssize_t>(sizeof d);
        _exit(written ? 0 : 1);
    }
    close(fds[1]);
    const ssize_t got = read(fds[0], &inChild, sizeof inChild);
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(got, static_cast<ssize_t>(sizeof inChild));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return inChild;
}

TEST(Random, DeviceSeedsDifferAcrossBlockRefills) {
    std::set<uint32_t> seen;
    for (int k = 0; k < 1000; ++k) seen.insert(deviceSeed());
    EXPECT_GE(seen.size(), 998u);  // 32-bit values: a repeat or two at most by chance
}

// Networks made and mutations drawn in forked workers must not repeat the
// parent's: the per-thread device block and helper engine are renewed in the
// child, and the C library generator is reseeded there.
TEST(Random, ForkedChildDoesNotRepeatTheParentsDraws) {
    nextDraws();  // every source is in use before the fork
    const Draws inChild = drawsInForkedChild(-1);
    const Same s = same(inChild, nextDraws());
    EXPECT_EQ(s.seeds, 0);
    EXPECT_EQ(s.uniforms, 0);
    EXPECT_EQ(s.libc, 0);
}

// A seeded run's forked workers are reproducible but draw neither the parent's
// numbers nor each other's; a child that seeds itself replays that seed.
TEST(Seeding, ForkedChildrenOfASeededRun) {
    setRandomSeed(7);
    const Draws firstChild = drawsInForkedChild(-1);
    const Draws secondChild = drawsInForkedChild(-1);
    const Draws parent = nextDraws();
    setRandomSeed(7);
    const Same replayed = same(drawsInForkedChild(-1), firstChild);
    EXPECT_EQ(replayed.seeds + replayed.uniforms + replayed.libc, 3 * 64);
    for (const Same& s : {same(firstChild, parent), same(firstChild, secondChild)}) {
        EXPECT_EQ(s.seeds, 0);
        EXPECT_EQ(s.uniforms, 0);
        EXPECT_LE(s.libc, 1);  // values below 2^31: a chance repeat at most
    }
    const Same reseeded = same(drawsInForkedChild(7), parent);
    EXPECT_EQ(reseeded.seeds + reseeded.uniforms + reseeded.libc, 3 * 64);
}

// Another thread draws a stream of its own, numbered by its first draw after the
// seeding (even when it drew before), so the same program replays it.
TEST(Seeding, ThreadsDrawStreamsOfTheirOwn) {
    const auto run = [] {
        std::promise<void> drewUnseeded, go;
        Draws other{};
        std::thread thread([&] {
            randomUniform();
            deviceSeed();
            drewUnseeded.set_value();
            go.get_future().wait();
            for (uint32_t& s : other.seeds) s = deviceSeed();
            for (double& u : other.uniforms) u = randomUniform();
        });
        drewUnseeded.get_future().wait();
        setRandomSeed(7);
        nextDraws();  // this thread draws before and after the other one
        go.set_value();
        thread.join();
        return std::pair(nextDraws(), other);
    };
    const auto [mine, other] = run();
    const auto [mineAgain, otherAgain] = run();
    const Same a = same(mine, mineAgain), b = same(other, otherAgain), c = same(mine, other);
    EXPECT_EQ(a.seeds + a.uniforms + a.libc, 3 * 64);
    EXPECT_EQ(b.seeds + b.uniforms, 2 * 64);
    EXPECT_EQ(c.seeds + c.uniforms, 0);
}

}  // namespace
}  // namespace kestrin

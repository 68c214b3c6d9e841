#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <set>

#include "network/random.h"

namespace kestrin {
namespace {

// 64 of each: more than the device values a thread keeps buffered.
struct Draws {
    uint32_t seeds[64];
    double uniforms[64];
};

Draws nextDraws() {
    Draws d{};
    for (uint32_t& s : d.seeds) s = deviceSeed();
    for (double& u : d.uniforms) u = randomUniform();
    return d;
}

TEST(Random, DeviceSeedsDifferAcrossBlockRefills) {
    std::set<uint32_t> seen;
    for (int k = 0; k < 1000; ++k) seen.insert(deviceSeed());
    EXPECT_GE(seen.size(), 998u);  // 32-bit values: a repeat or two at most by chance
}

// Networks made and mutations drawn in forked workers must not repeat the
// parent's: the per-thread device block and helper engine are renewed in the child.
TEST(Random, ForkedChildDoesNotRepeatTheParentsDraws) {
    deviceSeed();
    randomUniform();  // both per-thread sources are in use before the fork
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const Draws d = nextDraws();
        const bool written = write(fds[1], &d, sizeof d) == static_cast<ssize_t>(sizeof d);
        _exit(written ? 0 : 1);
    }
    close(fds[1]);
    Draws inChild{};
    const ssize_t got = read(fds[0], &inChild, sizeof inChild);
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_EQ(got, static_cast<ssize_t>(sizeof inChild));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    const Draws inParent = nextDraws();
    int sameSeeds = 0, sameUniforms = 0;
    for (int k = 0; k < 64; ++k) {
        sameSeeds += inChild.seeds[k] == inParent.seeds[k];
        sameUniforms += inChild.uniforms[k] == inParent.uniforms[k];
    }
    EXPECT_EQ(sameSeeds, 0);
    EXPECT_EQ(sameUniforms, 0);
}

}  // namespace
}  // namespace kestrin

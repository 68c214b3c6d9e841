// Every core test draws from a stream fixed by its name, so that tests which
// check chances or learned results give the same verdict on every run. The
// suites about the random module itself keep the unseeded start they test.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "network/random.h"

namespace {

class SeedEachTest : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo& test) override {
        const std::string suite = test.test_suite_name();
        if (suite == "Random" || suite == "Seeding") return;
        kestrin::setRandomSeed(static_cast<uint64_t>(std::hash<std::string>{}(suite + "." + test.name())));
    }
};

const bool registered = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new SeedEachTest);
    return true;
}();

}  // namespace

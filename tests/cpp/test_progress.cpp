#include "training/progress.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "network/console.h"

namespace kestrin {
namespace {

using std::chrono::milliseconds;

// A start time that lies the given number of milliseconds in the past.
SteadyTime ago(int ms) { return std::chrono::steady_clock::now() - milliseconds(ms); }

struct Line {
    int verbose = 1;
    std::vector<int32_t> monitors{};
    int size = 0;
    std::vector<int32_t> ids{0};
    int agoMs = 5250;  // whole seconds keep the texts stable on a busy machine
    int epoch = 0;
    int epochs = 100;
    int batch = 0;
    int batches = 1;
    std::vector<double> losses{0.0};
    bool hasValidation = false;
    std::vector<double> validation{};

    std::string print() const {
        testing::internal::CaptureStdout();
        printUpdate(verbose, monitors, size, ids, ago(agoMs), epoch, epochs, batch, batches, losses, hasValidation,
                    validation);
        return testing::internal::GetCapturedStdout();
    }
};

// The bar with its brackets.
std::string bar(int equals, int arrows) {
    return std::string("[").append(equals, '=').append(arrows, '>').append(30 - equals - arrows, '.').append("]");
}

TEST(MillisecondsToString, WritesClockForms) {
    const std::pair<double, const char*> cases[] = {
        {61000, "1:01"},   {60000, "1:00"},     {125000, "2:05"},      {3723000, "1:02:03"},
        {3605000, "1:00:05"}, {3600000, "1:00:00"}, {36672000, "10:11:12"}, {5000, "5s"},
        {59999, "59s"},    {999.9, "999ms"},    {450.7, "450ms"},      {0, "0ms"},
        {-5, "0ms"},       {std::nan(""), "0ms"},  // out of range, still defined
    };
    for (const auto& [ms, text] : cases) EXPECT_EQ(millisecondsToString(ms), text) << ms;
    EXPECT_FALSE(millisecondsToString(1e300).empty());
}

TEST(PrintUpdate, LinesByVerbosityBatchAndValues) {
    const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
    const std::string full = bar(30, 0);
    const std::pair<Line, std::string> cases[] = {
        {{.monitors = {0}, .size = 6, .agoMs = 1500, .batches = 4, .losses = {0.5}},
         "\rEpoch 1/100 - 1/4 " + bar(8, 1) + " - ETA: 4s - loss*: 0.500000 - size: 6"},
        {{.batch = 1, .batches = 4}, "\rEpoch 1/100 - 2/4 " + bar(15, 1) + " - ETA: 5s - loss*: 0.000000"},
        // 8 s over 4 batches is 2 s per step.
        {{.monitors = {0}, .size = 7, .agoMs = 8000, .batch = 3, .batches = 4, .losses = {1.6}},
         "\rEpoch 1/100 - 4/4 " + full + " - 8s 2s/step - loss*: 0.400000 - size: 7\n"},
        // One batch: no mark on the names.
        {{.epoch = 4, .epochs = 5, .losses = {0.25}}, "\rEpoch 5/5 - 1/1 " + full + " - 5s 5s/step - loss: 0.250000\n"},
        {{.verbose = 0}, ""},
        {{.verbose = 0, .batch = 2, .batches = 3}, ""},
        // 2: the last batch only, without a bar.
        {{.verbose = 2, .batch = 0, .batches = 4, .losses = {2.0}}, ""},
        {{.verbose = 2, .batch = 2, .batches = 4, .losses = {2.0}}, ""},
        {{.verbose = 2, .batch = 3, .batches = 4, .losses = {2.0}}, "\rEpoch 1/100 - 5s - loss*: 0.500000\n"},
        // Any other: every batch, without a bar.
        {{.verbose = 7, .batches = 2, .losses = {1.0}}, "\rEpoch 1/100 - ETA: 5s - loss*: 1.000000"},
        {{.verbose = 7, .batch = 1, .batches = 2, .losses = {1.0}}, "\rEpoch 1/100 - 5s - loss*: 0.500000\n"},
        // Training values are running means; validation values are shown as given.
        {{.verbose = 2, .monitors = {0, 0}, .size = 12, .ids = {1, 0, 2}, .batch = 1, .batches = 2,
          .losses = {1.0, 2.0, 3.0}, .hasValidation = true, .validation = {4.0, 5.0, 6.0}},
         "\rEpoch 1/100 - 5s - loss*: 0.500000 - mse*: 1.000000 - mape*: 1.500000"
         " - val_loss: 4.000000 - val_mse: 5.000000 - val_mape: 6.000000 - size: 12\n"},
        {{.verbose = 2, .ids = {0, 1}, .losses = {nan, inf}}, "\rEpoch 1/100 - 5s - loss: nan - mae: inf\n"},
    };
    for (const auto& [line, expected] : cases) EXPECT_EQ(line.print(), expected);
}

TEST(PrintUpdateFunc, OneLinePerEpoch) {
    testing::internal::CaptureStdout();
    printUpdate_func(1, {}, 5, ago(2100), 2, 10, 0.125, false, 0.0);
    printUpdate_func(3, {0}, 5, ago(61250), 9, 10, 1.5, true, 2.25);
    printUpdate_func(0, {0}, 5, ago(0), 9, 10, 1.5, true, 2.25);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\rEpoch 3/10 - 2s - loss: 0.125000\n"
              "\rEpoch 10/10 - 1:01 - loss: 1.500000 - val_loss: 2.250000 - size: 5\n");
}

// An installed writer receives each line whole, in place of stdout; removing it restores stdout.
std::string captured;
void capture(std::string_view text) { captured.append(text).append("|"); }

TEST(Console, InstalledWriterReceivesTheLinesInsteadOfStdout) {
    captured.clear();
    setLineWriter(capture);
    testing::internal::CaptureStdout();
    printUpdate_func(1, {}, 5, ago(2100), 2, 10, 0.125, false, 0.0);
    writeLine("Crossover broke network\n");
    const std::string written = testing::internal::GetCapturedStdout();
    setLineWriter(nullptr);
    EXPECT_EQ(written, "");
    EXPECT_EQ(captured, "\rEpoch 3/10 - 2s - loss: 0.125000\n|Crossover broke network\n|");
    testing::internal::CaptureStdout();
    writeLine("\rin place");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\rin place");
}

}  // namespace
}  // namespace kestrin

#include "training/progress.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace kestrin {
namespace {

using std::chrono::milliseconds;

// A start time that lies the given number of milliseconds in the past.
SteadyTime ago(int ms) { return std::chrono::steady_clock::now() - milliseconds(ms); }

struct Line {
    int verbose = 1;
    std::vector<int32_t> monitors;
    int size = 0;
    std::vector<int32_t> ids{0};
    int agoMs = 5250;  // whole seconds keep the texts stable on a busy machine
    int epoch = 0;
    int epochs = 100;
    int batch = 0;
    int batches = 1;
    std::vector<double> losses{0.0};
    bool hasValidation = false;
    std::vector<double> validation;

    std::string print() const {
        testing::internal::CaptureStdout();
        printUpdate(verbose, monitors, size, ids, ago(agoMs), epoch, epochs, batch, batches, losses, hasValidation,
                    validation);
        return testing::internal::GetCapturedStdout();
    }
};

std::string bar(int equals, int arrows) {
    return std::string(equals, '=') + std::string(arrows, '>') + std::string(30 - equals - arrows, '.');
}

TEST(MillisecondsToString, WritesClockForms) {
    EXPECT_EQ(millisecondsToString(61000), "1:01");
    EXPECT_EQ(millisecondsToString(60000), "1:00");
    EXPECT_EQ(millisecondsToString(125000), "2:05");
    EXPECT_EQ(millisecondsToString(3723000), "1:02:03");
    EXPECT_EQ(millisecondsToString(3605000), "1:00:05");
    EXPECT_EQ(millisecondsToString(3600000), "1:00:00");
    EXPECT_EQ(millisecondsToString(36000000 + 11 * 60000 + 12000), "10:11:12");
    EXPECT_EQ(millisecondsToString(5000), "5s");
    EXPECT_EQ(millisecondsToString(59999), "59s");
    EXPECT_EQ(millisecondsToString(999.9), "999ms");
    EXPECT_EQ(millisecondsToString(450.7), "450ms");
    EXPECT_EQ(millisecondsToString(0), "0ms");
}

TEST(MillisecondsToString, KeepsOutOfRangeValuesDefined) {
    EXPECT_EQ(millisecondsToString(-5), "0ms");
    EXPECT_EQ(millisecondsToString(std::nan("")), "0ms");
    EXPECT_FALSE(millisecondsToString(1e300).empty());
}

TEST(PrintUpdate, FirstAndLastLineOfAnEpochWithFourBatches) {
    Line line;
    line.monitors = {0};
    line.size = 6;
    line.batches = 4;
    line.agoMs = 1500;
    line.losses = {0.5};
    EXPECT_EQ(line.print(), "\rEpoch 1/100 - 1/4 [" + bar(8, 1) + "] - ETA: 4s - loss*: 0.500000 - size: 6");

    line.batch = 3;
    line.size = 7;
    line.agoMs = 8000;
    line.losses = {1.6};
    // 8 s over 4 batches is 2 s per step.
    EXPECT_EQ(line.print(), "\rEpoch 1/100 - 4/4 [" + bar(30, 0) + "] - 8s 2s/step - loss*: 0.400000 - size: 7\n");
}

TEST(PrintUpdate, BarAtHalfWayHasOneArrow) {
    Line line;
    line.batches = 4;
    line.batch = 1;
    EXPECT_NE(line.print().find("2/4 [" + bar(15, 1) + "]"), std::string::npos);
}

TEST(PrintUpdate, OneBatchShowsFullBarAndNoMark) {
    Line line;
    line.epoch = 4;
    line.epochs = 5;
    line.losses = {0.25};
    EXPECT_EQ(line.print(), "\rEpoch 5/5 - 1/1 [" + bar(30, 0) + "] - 5s 5s/step - loss: 0.250000\n");
}

TEST(PrintUpdate, VerboseZeroPrintsNothing) {
    Line line;
    line.verbose = 0;
    EXPECT_EQ(line.print(), "");
    line.batches = 3;
    line.batch = 2;
    EXPECT_EQ(line.print(), "");
}

TEST(PrintUpdate, VerboseTwoPrintsOnlyTheLastBatchWithoutBar) {
    Line line;
    line.verbose = 2;
    line.batches = 4;
    line.losses = {2.0};
    for (int batch = 0; batch < 3; ++batch) {
        line.batch = batch;
        EXPECT_EQ(line.print(), "");
    }
    line.batch = 3;
    EXPECT_EQ(line.print(), "\rEpoch 1/100 - 5s - loss*: 0.500000\n");
}

TEST(PrintUpdate, OtherVerbosePrintsEveryBatchWithoutBar) {
    Line line;
    line.verbose = 7;
    line.batches = 2;
    line.losses = {1.0};
    EXPECT_EQ(line.print(), "\rEpoch 1/100 - ETA: 5s - loss*: 1.000000");
    line.batch = 1;
    EXPECT_EQ(line.print(), "\rEpoch 1/100 - 5s - loss*: 0.500000\n");
}

TEST(PrintUpdate, MetricsAndValidationByName) {
    Line line;
    line.verbose = 2;
    line.ids = {1, 0, 2};
    line.batches = 2;
    line.batch = 1;
    line.losses = {1.0, 2.0, 3.0};
    line.hasValidation = true;
    line.validation = {4.0, 5.0, 6.0};
    line.monitors = {0, 0};
    line.size = 12;
    // Training values are running means; validation values are shown as given.
    EXPECT_EQ(line.print(),
              "\rEpoch 1/100 - 5s - loss*: 0.500000 - mse*: 1.000000 - mape*: 1.500000"
              " - val_loss: 4.000000 - val_mse: 5.000000 - val_mape: 6.000000 - size: 12\n");
}

TEST(PrintUpdate, NonFiniteLossesUsePrintfForms) {
    Line line;
    line.verbose = 2;
    line.ids = {0, 1};
    line.losses = {std::nan(""), std::numeric_limits<double>::infinity()};
    const std::string text = line.print();
    EXPECT_NE(text.find("loss: nan"), std::string::npos) << text;
    EXPECT_NE(text.find("mae: inf"), std::string::npos) << text;
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

}  // namespace
}  // namespace kestrin

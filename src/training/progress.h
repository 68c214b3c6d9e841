// The progress line of the training loops, written through the console
// (network/console.h) and rewritten in place with a leading carriage return.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrin {

using SteadyTime = std::chrono::steady_clock::time_point;

void printUpdate(int verbose, std::vector<int32_t> monitors, int size, std::vector<int32_t> ids, SteadyTime start,
                 int epoch, int epochs, int batch, int batches, std::vector<double> losses, bool hasValidation,
                 std::vector<double> validation);

void printUpdate_func(int verbose, std::vector<int32_t> monitors, int size, SteadyTime start, int epoch, int epochs,
                      double loss, bool hasValidation, double validationLoss);

std::string millisecondsToString(double milliseconds);

}  // namespace kestrin

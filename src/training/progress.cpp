#include "training/progress.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "network/console.h"
#include "training/evaluate.h"

namespace kestrin {
namespace {

constexpr int kBarWidth = 30;

std::string formatLoss(double value) {
    char text[512];  // "%f" of the largest double needs 316 characters
    std::snprintf(text, sizeof text, "%f", value);
    return text;
}

const char* lossName(size_t position, int32_t id) {
    if (position == 0) return "loss";
    if (id < 0 || id >= kLossCount) return "?";
    return kLossNames[static_cast<size_t>(id)];
}

double millisecondsSince(SteadyTime start) {
    const auto elapsed = std::chrono::steady_clock::now() - start;
    return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) / 1e6;
}

std::string twoDigits(int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d", value);
    return text;
}

}  // namespace

void printUpdate(int verbose, std::vector<int32_t> monitors, int size, std::vector<int32_t> ids, SteadyTime start,
                 int epoch, int epochs, int batch, int batches, std::vector<double> losses, bool hasValidation,
                 std::vector<double> validation) {
    if (verbose == 0) return;
    const bool last = batch + 1 == batches;
    if (verbose == 2 && !last) return;

    const std::string mark = batches > 1 ? "*" : "";
    std::string line = "\rEpoch " + std::to_string(epoch + 1) + "/" + std::to_string(epochs);

    if (verbose == 1) {
        line += " - " + std::to_string(batch + 1) + "/" + std::to_string(batches) + " [";
        const double progress = static_cast<double>(batch + 1) / static_cast<double>(batches);
        for (int i = 0; i < kBarWidth; ++i) {
            if (progress > static_cast<double>(i) / kBarWidth) {
                line += '=';
            } else if (progress > static_cast<double>(i - 1) / kBarWidth) {
                line += '>';
            } else {
                line += '.';
            }
        }
        line += "]";
    }

    const double elapsed = millisecondsSince(start);
    line += " - ";
    if (last) {
        line += millisecondsToString(elapsed);
        if (verbose == 1) line += " " + millisecondsToString(elapsed / batches) + "/step";
    } else {
        line += "ETA: " + millisecondsToString(elapsed / (batch + 1) * batches - elapsed);
    }

    for (size_t i = 0; i < ids.size(); ++i) {
        const double value = i < losses.size() ? losses[i] / (batch + 1) : 0.0;
        line += std::string(" - ") + lossName(i, ids[i]) + mark + ": " + formatLoss(value);
    }
    if (hasValidation) {
        for (size_t j = 0; j < ids.size(); ++j) {
            const double value = j < validation.size() ? validation[j] : 0.0;
            line += std::string(" - val_") + lossName(j, ids[j]) + ": " + formatLoss(value);
        }
    }
    if (!monitors.empty()) line += " - size: " + std::to_string(size);
    if (last) line += "\n";
    writeLine(line);
}

void printUpdate_func(int verbose, std::vector<int32_t> monitors, int size, SteadyTime start, int epoch, int epochs,
                      double loss, bool hasValidation, double validationLoss) {
    if (verbose == 0) return;
    std::string line = "\rEpoch " + std::to_string(epoch + 1) + "/" + std::to_string(epochs) + " - " +
                       millisecondsToString(millisecondsSince(start)) + " - loss: " + formatLoss(loss);
    if (hasValidation) line += " - val_loss: " + formatLoss(validationLoss);
    if (!monitors.empty()) line += " - size: " + std::to_string(size);
    line += "\n";
    writeLine(line);
}

std::string millisecondsToString(double milliseconds) {
    // Keeps the int conversions below defined; a clock never yields these.
    constexpr double kLongest = 1000.0 * 60 * 60 * 1e6;
    if (!(milliseconds >= 0)) milliseconds = 0;
    if (milliseconds > kLongest) milliseconds = kLongest;

    const int hours = static_cast<int>(std::floor(milliseconds / 1000 / 60 / 60));
    const double rest = milliseconds - hours * 1000.0 * 60 * 60;
    const int minutes = static_cast<int>(std::floor(rest / 1000 / 60));
    const int seconds = static_cast<int>(std::floor((rest - minutes * 1000.0 * 60) / 1000));

    if (hours > 0) return std::to_string(hours) + ":" + twoDigits(minutes) + ":" + twoDigits(seconds);
    if (minutes > 0) return std::to_string(minutes) + ":" + twoDigits(seconds);
    if (seconds > 0) return std::to_string(seconds) + "s";
    return std::to_string(static_cast<int>(rest - minutes * 1000.0 * 60)) + "ms";
}

}  // namespace kestrin

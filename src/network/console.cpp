#include "network/console.h"

#include <atomic>
#include <cstdio>

namespace kestrin {
namespace {

// Set once by the host at start-up, read by whichever thread writes.
std::atomic<LineWriter> installed{nullptr};

}  // namespace

void setLineWriter(LineWriter writer) { installed.store(writer); }

void writeLine(std::string_view text) {
    const LineWriter writer = installed.load();
    if (writer != nullptr) {
        writer(text);
    } else {
        writeToStandardOutput(text);
    }
}

void writeToStandardOutput(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

}  // namespace kestrin

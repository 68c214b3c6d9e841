// A run's backup: everything an evolution loop carries from one epoch to the
// next, so that a killed run resumes after its last completed epoch with the
// draws it would have made (see network/random.h), and its file.
//
// The file: the 8 bytes "KSTNRUN1", the payload's length (uint64), the payload,
// then a 64-bit hash of the payload (FNV-1a over 64-bit words in four
// interleaved lanes, so that hashing keeps up with writing). Everything
// little-endian. The
// payload holds the fields of RunState in order; strings and networks are
// length-prefixed, networks as their '.kn' bytes followed by their engine's
// text. It is written with the atomic writer of '.kn' files: a run killed while
// writing leaves the previous backup whole.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "evolution/selection.h"
#include "network/network.h"

namespace kestrin {

// An aggregate: made field by field, it draws nothing (a default-made Network
// would draw its engine's seed).
struct RunState {
    // What the call that wrote it was, as names and values: a backup resumes
    // only the call that matches every one (the caller decides the names).
    std::vector<std::pair<std::string, std::string>> identity;
    int32_t epoch = -1;               // the last completed epoch
    std::vector<Network> population;  // with their engines' states
    ScoreRows scores;                 // the population's rows from its last step
    std::vector<double> strategyState;
    std::string randomStreams;        // empty for an unseeded run
    Network best;
    std::vector<int32_t> rowOrder;    // the dataset loop's training rows: original index per position
    std::vector<std::vector<double>> history;  // one row of values per completed epoch
    std::string callerState;          // the caller's own bytes (its callbacks' states)
};

// A RunState's fields where they already are: what a loop hands over to be
// backed up, without copying its population.
struct RunStateView {
    const std::vector<std::pair<std::string, std::string>>& identity;
    int32_t epoch;
    const std::vector<Network>& population;
    const ScoreRows& scores;
    const std::vector<double>& strategyState;
    const std::string& randomStreams;
    const Network& best;
    const std::vector<int32_t>& rowOrder;
    const std::vector<std::vector<double>>& history;
    const std::string& callerState;
};

RunStateView viewOf(const RunState& state);

std::string encodeRunState(const RunStateView& state);
std::string encodeRunState(const RunState& state);
// FileFormatError "invalid <what>: <defect>" for bytes encodeRunState did not
// make whole: a wrong tag, a short file, a checksum that does not match.
RunState decodeRunState(const std::string& bytes, const std::string& what);

// Replaces the file at path in one step (std::system_error on failure).
void saveRunState(const RunState& state, const std::string& path);
void saveRunStateBytes(const std::string& bytes, const std::string& path);
// std::system_error when the file cannot be read, FileFormatError when damaged.
RunState loadRunState(const std::string& path);

}  // namespace kestrin

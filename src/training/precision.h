// The floating-point type the scorer computes node values in.
//
// float64 is the default and gives the reference pass's bits. float32 keeps
// genomes, losses and their sums in double but runs the networks on floats,
// twice the lanes per vector; its predictions follow float64's within
// kSinglePrecisionTolerance (tests/cpp/test_scoring_plan.cpp).
#pragma once

#include <optional>
#include <string_view>

namespace kestrin {

enum class Precision { kFloat64, kFloat32 };

// |float32 - float64| <= tolerance * (1 + |float64|) for the predictions of
// networks whose node sums stay of order one (weights, biases and inputs of
// a few units, up to a few hundred nodes): each connection rounds once more.
inline constexpr double kSinglePrecisionTolerance = 1e-4;

inline const char* precisionName(Precision precision) {
    return precision == Precision::kFloat32 ? "float32" : "float64";
}

inline std::optional<Precision> precisionFromName(std::string_view name) {
    if (name == "float64") return Precision::kFloat64;
    if (name == "float32") return Precision::kFloat32;
    return std::nullopt;
}

}  // namespace kestrin

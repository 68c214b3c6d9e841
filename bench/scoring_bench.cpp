// Times the reference scoring (evaluateReference: one Network::activate per sample) against
// BatchScorer on the same random networks and samples, and measures a one-core
// multiply-add roofline. Prints one JSON document on stdout; bench/run.py drives it.
//
//   scoring_bench --workload NODES:CONNECTIONS ... --batch ROWS ... [--networks 200]
//                 [--min-seconds 0.3] [--seed 1] [--activation ID] [--dump PATH --dump-networks 20]
//                 [--gradient]
//   scoring_bench --peers PATH [--networks 200] [--min-seconds 0.3] [--seed 1]
//
// Networks have 8 inputs and 2 outputs and keep the connectivity invariant of
// evolved networks (every node on an input-to-output path); the remaining
// connections are random forward pairs, activations random in 0..3 unless
// --activation gives one id for every node. Times are CPU time of the thread.
// --gradient also times the full gradient of the loss (GradientPass: compile
// and run, per network) against the fast scoring of the same networks.
// The table also times BatchScorer in float32 (against a float32 roofline).
// --peers builds W1 (networks evolved as Model(8, 2, size=32) on 1,000 samples)
// and W2 (random networks of 100 nodes and 1,300 connections on 1,024 samples),
// times the float64 and float32 scoring of each and writes networks, samples
// and targets to PATH, for the JAX peer (bench/jax_peer.py) to score the same.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cmath>
#include <ctime>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "evolution/crossover.h"
#include "evolution/mutation.h"
#include "evolution/selection.h"
#include "network/network.h"
#include "training/evaluate.h"
#include "training/evolve.h"
#include "training/gradient.h"
#include "training/scoring_plan.h"

namespace {

using kestrin::Network;

constexpr int32_t kInputs = 8;
constexpr int32_t kOutputs = 2;

struct Workload {
    int32_t nodes;
    int32_t connections;
};

// activation: the id of every node, or -1 for random ids in 0..3.
Network makeNetwork(std::mt19937& engine, int32_t nodes, int32_t connections, int32_t activation) {
    Network network(kInputs, kOutputs);
    network.setSize(nodes);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (int32_t i = 0; i < nodes; ++i) {
        network.biases[i] = normal(engine);
        const int32_t drawn = static_cast<int32_t>(engine() % 4);
        network.activations[i] = activation >= 0 ? activation : drawn;
    }
    const int32_t lastSource = nodes - kOutputs;  // sources are non-output nodes
    auto pick = [&](int32_t lo, int32_t hi) { return lo + static_cast<int32_t>(engine() % (hi - lo)); };
    // Every non-input node gets a source, every non-output node a target.
    for (int32_t j = kInputs; j < nodes; ++j) network.connect(pick(0, std::min(j, lastSource)), j, normal(engine));
    for (int32_t i = 0; i < lastSource; ++i) {
        if (!network.connections.anyInRowFrom(i, std::max(kInputs, i + 1))) {
            network.connect(i, pick(std::max(kInputs, i + 1), nodes), normal(engine));
        }
    }
    int64_t count = network.connections.count();
    int64_t attempts = 0;
    while (count < connections && attempts++ < 100LL * connections) {
        const int32_t from = pick(0, lastSource);
        const int32_t to = pick(std::max(kInputs, from + 1), nodes);
        if (network.connected(from, to)) continue;
        network.connect(from, to, normal(engine));
        ++count;
    }
    return network;
}

kestrin::SampleMatrix makeSamples(std::mt19937& engine, int32_t rows, int32_t columns) {
    kestrin::SampleMatrix samples(rows, columns);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (int32_t i = 0; i < rows; ++i) {
        for (int32_t j = 0; j < columns; ++j) samples.at(i, j) = normal(engine);
    }
    return samples;
}

// CPU time of this thread: other work on the machine does not count against us.
double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// Runs pass() until minSeconds have gone by (at least three times); the fastest
// pass is the least disturbed by whatever else runs on the machine.
template <typename F>
double fastestPass(double minSeconds, F&& pass) {
    double best = 1e300, total = 0.0;
    for (int runs = 0; runs < 3 || total < minSeconds; ++runs) {
        const double start = threadSeconds();
        pass();
        const double seconds = threadSeconds() - start;
        best = std::min(best, seconds);
        total += seconds;
    }
    return best;
}

// The median of passes run until minSeconds have gone by (at least five): what
// the peer comparison reports, for kestrin and JAX alike.
template <typename F>
double medianPass(double minSeconds, F&& pass) {
    std::vector<double> times;
    double total = 0.0;
    while (times.size() < 5 || total < minSeconds) {
        const double start = threadSeconds();
        pass();
        times.push_back(threadSeconds() - start);
        total += times.back();
    }
    std::sort(times.begin(), times.end());
    const size_t n = times.size();
    return n % 2 ? times[n / 2] : 0.5 * (times[n / 2 - 1] + times[n / 2]);
}

// Keeps the compiler from treating v as known.
template <typename T>
inline void opaque(T& v) {
    asm volatile("" : : "r"(&v) : "memory");
}

typedef double Vec __attribute__((vector_size(32)));
typedef float FloatVec __attribute__((vector_size(32)));

// Independent multiply-add chains in registers: the arithmetic ceiling, with the
// multiply and the add separate as in the scoring loops.
[[gnu::target_clones("arch=x86-64-v3", "default")]]
double registerMultiplyAdds(int64_t iterations) {
    Vec acc[12], w, x;
    for (int u = 0; u < 12; ++u) acc[u] = Vec{0.0, 0.0, 0.0, 0.0} + u;
    w = Vec{0.5, 0.5, 0.5, 0.5};
    x = Vec{1e-3, 1e-3, 1e-3, 1e-3};
    opaque(w);
    opaque(x);
    for (int64_t i = 0; i < iterations; ++i) {
        for (int u = 0; u < 12; ++u) acc[u] = w * x + acc[u];
    }
    double sink = 0.0;
    for (int u = 0; u < 12; ++u) sink += acc[u][0];
    return sink;
}

// The scoring loop's shape: a weight times a row of values loaded from L1, added
// into eight running sums.
[[gnu::target_clones("arch=x86-64-v3", "default")]]
double l1MultiplyAdds(const double* rows, int32_t rowCount, int64_t sweeps) {
    Vec acc[8];
    for (int u = 0; u < 8; ++u) acc[u] = Vec{0.0, 0.0, 0.0, 0.0};
    Vec w = Vec{0.5, 0.5, 0.5, 0.5};
    opaque(w);
    for (int64_t s = 0; s < sweeps; ++s) {
        for (int32_t r = 0; r < rowCount; ++r) {
            const double* row = rows + static_cast<size_t>(r) * 32;
            for (int u = 0; u < 8; ++u) {
                Vec v;
                std::memcpy(&v, row + 4 * u, sizeof v);
                acc[u] = w * v + acc[u];
            }
        }
    }
    double sink = 0.0;
    for (int u = 0; u < 8; ++u) sink += acc[u][0];
    return sink;
}

// registerMultiplyAdds on eight floats per vector: the float32 ceiling.
[[gnu::target_clones("arch=x86-64-v3", "default")]]
double registerSingleMultiplyAdds(int64_t iterations) {
    FloatVec acc[12], w, x;
    for (int u = 0; u < 12; ++u) acc[u] = FloatVec{} + static_cast<float>(u);
    w = FloatVec{} + 0.5f;
    x = FloatVec{} + 1e-3f;
    opaque(w);
    opaque(x);
    for (int64_t i = 0; i < iterations; ++i) {
        for (int u = 0; u < 12; ++u) acc[u] = w * x + acc[u];
    }
    double sink = 0.0;
    for (int u = 0; u < 12; ++u) sink += acc[u][0];
    return sink;
}

std::string roofline(double minSeconds) {
    volatile double sink = 0.0;
    const int64_t iterations = 20'000'000;
    const double registerSeconds = fastestPass(minSeconds, [&] { sink = sink + registerMultiplyAdds(iterations); });
    std::vector<double> rows(64 * 32, 1e-3);  // 16 KiB: stays in L1
    const int64_t sweeps = 20'000;
    const double l1Seconds = fastestPass(minSeconds, [&] { sink = sink + l1MultiplyAdds(rows.data(), 64, sweeps); });
    const double singleSeconds = fastestPass(minSeconds, [&] { sink = sink + registerSingleMultiplyAdds(iterations); });
    char text[384];
    std::snprintf(text, sizeof text,
                  "{\"register_multiply_adds_per_second\": %.6g, \"l1_multiply_adds_per_second\": %.6g, "
                  "\"register_single_multiply_adds_per_second\": %.6g}",
                  static_cast<double>(iterations) * 12 * 4 / registerSeconds,
                  static_cast<double>(sweeps) * 64 * 8 * 4 / l1Seconds,
                  static_cast<double>(iterations) * 12 * 8 / singleSeconds);
    return text;
}

bool sameBits(const kestrin::ScoreRows& a, const kestrin::ScoreRows& b) {
    if (a.size() != b.size()) return false;
    for (size_t k = 0; k < a.size(); ++k) {
        if (a[k].size() != b[k].size()) return false;
        for (size_t j = 0; j < a[k].size(); ++j) {
            const bool bothNaN = a[k][j] != a[k][j] && b[k][j] != b[k][j];
            if (!bothNaN && std::memcmp(&a[k][j], &b[k][j], sizeof(double)) != 0) return false;
        }
    }
    return true;
}

void dumpNetworks(FILE* file, const std::vector<Network>& networks, size_t count) {
    std::fprintf(file, "[");
    for (size_t k = 0; k < std::min(count, networks.size()); ++k) {
        const Network& n = networks[k];
        std::fprintf(file, "%s{\"size\": %d, \"inputs\": %d, \"outputs\": %d, \"biases\": [", k ? ", " : "", n.size,
                     n.inputs, n.outputs);
        for (int32_t i = 0; i < n.size; ++i) std::fprintf(file, "%s%.17g", i ? ", " : "", n.biases[i]);
        std::fprintf(file, "], \"activations\": [");
        for (int32_t i = 0; i < n.size; ++i) std::fprintf(file, "%s%d", i ? ", " : "", n.activations[i]);
        std::fprintf(file, "], \"connections\": [");
        bool first = true;
        for (int32_t i = 0; i < n.size; ++i) {
            n.connections.forEachInRow(i, std::max(n.inputs, i + 1), [&](int32_t j) {
                std::fprintf(file, "%s[%d, %d, %.17g]", first ? "" : ", ", i, j, n.weights[i][j]);
                first = false;
            });
        }
        std::fprintf(file, "]}");
    }
    std::fprintf(file, "]");
}

// W1: Model(inputs, outputs, size) trained on `samples` rows, full batch.
struct EvolveSettings {
    int32_t samples = 1000;
    int32_t size = 32;
    int popSize = 100;
    int generations = 40;
};

// Samples whose targets a network can learn: two smooth functions of the inputs.
void makeTask(std::mt19937& engine, int32_t rows, kestrin::SampleMatrix& x, kestrin::SampleMatrix& y) {
    x = makeSamples(engine, rows, kInputs);
    y = kestrin::SampleMatrix(rows, kOutputs);
    for (int32_t i = 0; i < rows; ++i) {
        double sum = 0.0, product = 1.0;
        for (int32_t j = 0; j < kInputs; ++j) {
            sum += x.at(i, j);
            product *= j < 3 ? x.at(i, j) : 1.0;
        }
        y.at(i, 0) = std::tanh(0.5 * sum);
        y.at(i, 1) = 1.0 / (1.0 + std::exp(-product));
    }
}

kestrin::Network startNetwork(int32_t size) {
    Network start(kInputs, kOutputs);
    start.setSize(size);
    start.initializeWeights();
    return start;
}

// Generations of the dataset loop's batch step, as evolveOnDataset runs them with
// one batch per epoch: the generation step with the scorer timed inside it, the
// choice of the best and its copy. Then, on a fresh population, the same steps
// timed one by one (the step's own code, called piece by piece), for a breakdown.
// Last, evolveOnDataset itself, whose time per generation should match the first.
std::string measureEvolve(const EvolveSettings& settings, std::mt19937& engine) {
    kestrin::SampleMatrix x, y;
    makeTask(engine, settings.samples, x, y);
    const std::vector<int32_t> ids = {kestrin::kMse};
    const Network start = startNetwork(settings.size);

    std::vector<Network> population = kestrin::initialPopulation(start, settings.popSize);
    std::vector<double> zeroFitness(static_cast<size_t>(settings.popSize), 0.0);
    Network best = population[0];
    kestrin::BatchScorer scorer;
    double scoring = 0.0, connections = 0.0;
    const double begin = threadSeconds();
    for (int g = 0; g < settings.generations; ++g) {
        const kestrin::ScoreRows scores =
            kestrin::generationStep(population, zeroFitness, [&](std::vector<Network>& networks) {
                const double t = threadSeconds();
                kestrin::ScoreRows rows = kestrin::scoreOnBatch(scorer, networks, x.view(), y.view(), ids);
                scoring += threadSeconds() - t;
                return rows;
            });
        if (const std::optional<size_t> found = kestrin::bestIndex(scores)) best = population[*found];
    }
    const double total = threadSeconds() - begin;
    for (const Network& n : population) {
        kestrin::CompiledNetwork plan;
        plan.compile(n);
        connections += static_cast<double>(plan.forwardConnections());
    }

    // Breakdown, on a population grown from the same start.
    double crossover = 0.0, mutation = 0.0, combine = 0.0, score = 0.0, select = 0.0, keep = 0.0;
    population = kestrin::initialPopulation(start, settings.popSize);
    for (int g = 0; g < settings.generations; ++g) {
        double t = threadSeconds();
        std::vector<Network> children = kestrin::Crossover::crossover(population, zeroFitness);
        double u = threadSeconds();
        crossover += u - t;
        for (Network& child : children) kestrin::Mutation::mutate(child);
        t = threadSeconds();
        mutation += t - u;
        std::vector<Network> combined;
        combined.reserve(2 * population.size());
        for (size_t i = 0; i < population.size(); ++i) {
            combined.push_back(std::move(population[i]));
            combined.push_back(std::move(children[i]));
        }
        u = threadSeconds();
        combine += u - t;
        kestrin::ScoreRows rows = scorer.score(combined, x.view(), y.view(), ids);
        t = threadSeconds();
        score += t - u;
        kestrin::Selection selected = kestrin::tournamentSelect(std::move(combined), std::move(rows));
        population = std::move(selected.networks);
        u = threadSeconds();
        select += u - t;
        if (const std::optional<size_t> found = kestrin::bestIndex(selected.scores)) best = population[*found];
        keep += threadSeconds() - u;
    }

    kestrin::DatasetOptions options;
    options.popSize = settings.popSize;
    options.epochs = settings.generations;
    options.verbose = 0;
    options.metricIds = ids;
    double t = threadSeconds();
    const std::optional<kestrin::DatasetResult> result =
        kestrin::evolveOnDataset(start, x, y, std::nullopt, options, nullptr);
    const double loop = threadSeconds() - t;

    const double g = settings.generations;
    char text[1024];
    std::snprintf(text, sizeof text,
                  "{\"samples\": %d, \"size\": %d, \"pop_size\": %d, \"generations\": %d, "
                  "\"seconds_per_generation\": %.6g, \"scoring_seconds_per_generation\": %.6g, "
                  "\"outside_scoring_share\": %.4f, \"final_connections_per_network\": %.1f, "
                  "\"breakdown_seconds_per_generation\": {\"crossover\": %.6g, \"mutation\": %.6g, "
                  "\"combine\": %.6g, \"scoring\": %.6g, \"selection\": %.6g, \"best\": %.6g}, "
                  "\"evolve_on_dataset_seconds_per_generation\": %.6g, \"final_loss\": %.6g}",
                  settings.samples, settings.size, settings.popSize, settings.generations, total / g, scoring / g,
                  (total - scoring) / total, connections / static_cast<double>(population.size()), crossover / g,
                  mutation / g, combine / g, score / g, select / g, keep / g, loop / g,
                  result && !result->epochs.empty() ? result->epochs.back().losses[0] : -1.0);
    return text;
}

void dumpRows(FILE* file, const kestrin::SampleMatrix& m) {
    std::fprintf(file, "[");
    for (int32_t i = 0; i < m.rows(); ++i) {
        std::fprintf(file, "%s[", i ? ", " : "");
        for (int32_t j = 0; j < m.columns(); ++j) std::fprintf(file, "%s%.17g", j ? ", " : "", m.at(i, j));
        std::fprintf(file, "]");
    }
    std::fprintf(file, "]");
}

// One peer workload: kestrin's float64 and float32 scoring (mse, one thread) of
// the networks on x and y, and their dump.
std::string measurePeerWorkload(const char* name, std::vector<Network>& networks, const kestrin::SampleMatrix& x,
                                const kestrin::SampleMatrix& y, double minSeconds, FILE* dump) {
    const std::vector<int32_t> ids = {kestrin::kMse};
    int64_t connections = 0;
    for (const Network& n : networks) {
        kestrin::CompiledNetwork plan;
        plan.compile(n);
        connections += plan.forwardConnections();
    }
    kestrin::BatchScorer doubles, singles;
    singles.setPrecision(kestrin::Precision::kFloat32);
    kestrin::ScoreRows doubleScores, singleScores;
    const double doubleSeconds =
        medianPass(minSeconds, [&] { doubleScores = doubles.score(networks, x.view(), y.view(), ids); });
    const double singleSeconds =
        medianPass(minSeconds, [&] { singleScores = singles.score(networks, x.view(), y.view(), ids); });
    double worst = 0.0;
    for (size_t k = 0; k < networks.size(); ++k) {
        const double a = doubleScores[k][0], b = singleScores[k][0];
        if (std::isfinite(a)) worst = std::max(worst, std::fabs(a - b) / (1.0 + std::fabs(a)));
    }
    std::fprintf(dump, "\"%s\": {\"x\": ", name);
    dumpRows(dump, x);
    std::fprintf(dump, ", \"y\": ");
    dumpRows(dump, y);
    std::fprintf(dump, ", \"float64_mse\": [");
    for (size_t k = 0; k < networks.size(); ++k) std::fprintf(dump, "%s%.17g", k ? ", " : "", doubleScores[k][0]);
    std::fprintf(dump, "], \"networks\": ");
    dumpNetworks(dump, networks, networks.size());
    std::fprintf(dump, "}");
    const double connectionSamples = static_cast<double>(connections) * x.rows();
    char text[512];
    std::snprintf(text, sizeof text,
                  "\"%s\": {\"networks\": %zu, \"samples\": %d, \"connections_per_network\": %.1f, "
                  "\"float64_seconds\": %.6g, \"float32_seconds\": %.6g, \"float64_connection_samples_per_second\": "
                  "%.6g, \"float32_connection_samples_per_second\": %.6g, \"float32_worst_relative_mse_difference\": "
                  "%.3g}",
                  name, networks.size(), x.rows(), static_cast<double>(connections) / static_cast<double>(networks.size()),
                  doubleSeconds, singleSeconds, connectionSamples / doubleSeconds, connectionSamples / singleSeconds,
                  worst);
    return text;
}

// W1's networks: the last population of `generations` full-batch generations of
// Model(8, 2, size=32) on makeTask's 1,000 samples, pop_size networks.
std::vector<Network> evolvedNetworks(const kestrin::SampleMatrix& x, const kestrin::SampleMatrix& y, int popSize,
                                     int generations) {
    const std::vector<int32_t> ids = {kestrin::kMse};
    std::vector<Network> population = kestrin::initialPopulation(startNetwork(32), popSize);
    std::vector<double> zeroFitness(static_cast<size_t>(popSize), 0.0);
    kestrin::BatchScorer scorer;
    for (int g = 0; g < generations; ++g) {
        kestrin::generationStep(population, zeroFitness, [&](std::vector<Network>& networks) {
            return scorer.score(networks, x.view(), y.view(), ids);
        });
    }
    return population;
}

int measurePeers(const std::string& path, int32_t networkCount, double minSeconds, std::mt19937& engine) {
    FILE* dump = std::fopen(path.c_str(), "w");
    if (!dump) {
        std::perror(path.c_str());
        return 1;
    }
    kestrin::SampleMatrix x1, y1;
    makeTask(engine, 1000, x1, y1);
    const int popSize = networkCount + networkCount % 2;
    std::vector<Network> w1 = evolvedNetworks(x1, y1, popSize, 40);
    w1.resize(static_cast<size_t>(networkCount), w1[0]);
    std::vector<Network> w2;
    for (int32_t k = 0; k < networkCount; ++k) w2.push_back(makeNetwork(engine, 100, 1300, -1));
    const kestrin::SampleMatrix x2 = makeSamples(engine, 1024, kInputs);
    const kestrin::SampleMatrix y2 = makeSamples(engine, 1024, kOutputs);
    std::fprintf(dump, "{");
    const std::string first = measurePeerWorkload("W1", w1, x1, y1, minSeconds, dump);
    std::fprintf(dump, ", ");
    const std::string second = measurePeerWorkload("W2", w2, x2, y2, minSeconds, dump);
    std::fprintf(dump, "}\n");
    std::fclose(dump);
    std::printf("{%s, %s}\n", first.c_str(), second.c_str());
    return 0;
}

int usage() {
    std::fprintf(stderr,
                 "usage: scoring_bench --workload NODES:CONNECTIONS ... --batch ROWS ... [--networks 200] "
                 "[--min-seconds 0.3] [--seed 1] [--activation ID] [--dump PATH] [--dump-networks 20] [--no-roofline]\n"
                 "       scoring_bench --evolve SAMPLES:SIZE:POP:GENERATIONS [--seed 1]\n"
                 "       scoring_bench --peers PATH [--networks 200] [--min-seconds 0.3] [--seed 1]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<Workload> workloads;
    std::vector<int32_t> batches;
    int32_t networkCount = 200;
    double minSeconds = 0.3;
    uint32_t seed = 1;
    std::string dumpPath;
    size_t dumpCount = 20;
    bool withRoofline = true;
    bool withGradient = false;
    int32_t activation = -1;
    std::optional<EvolveSettings> evolve;
    std::string peersPath;
    for (int a = 1; a < argc; ++a) {
        const std::string arg = argv[a];
        const bool hasValue = a + 1 < argc;
        if (arg == "--workload" && hasValue) {
            Workload w{};
            if (std::sscanf(argv[++a], "%d:%d", &w.nodes, &w.connections) != 2 || w.nodes < kInputs + kOutputs + 1) {
                return usage();
            }
            workloads.push_back(w);
        } else if (arg == "--batch" && hasValue) {
            batches.push_back(std::max(1, std::atoi(argv[++a])));
        } else if (arg == "--networks" && hasValue) {
            networkCount = std::max(1, std::atoi(argv[++a]));
        } else if (arg == "--min-seconds" && hasValue) {
            minSeconds = std::atof(argv[++a]);
        } else if (arg == "--seed" && hasValue) {
            seed = static_cast<uint32_t>(std::strtoul(argv[++a], nullptr, 10));
        } else if (arg == "--dump" && hasValue) {
            dumpPath = argv[++a];
        } else if (arg == "--dump-networks" && hasValue) {
            dumpCount = static_cast<size_t>(std::max(0, std::atoi(argv[++a])));
        } else if (arg == "--activation" && hasValue) {
            activation = std::atoi(argv[++a]);
        } else if (arg == "--peers" && hasValue) {
            peersPath = argv[++a];
        } else if (arg == "--no-roofline") {
            withRoofline = false;
        } else if (arg == "--gradient") {
            withGradient = true;
        } else if (arg == "--evolve" && hasValue) {
            EvolveSettings e;
            if (std::sscanf(argv[++a], "%d:%d:%d:%d", &e.samples, &e.size, &e.popSize, &e.generations) != 4 ||
                e.samples < 1 || e.size < kInputs + kOutputs || e.popSize < 2 || e.popSize % 2 || e.generations < 1) {
                return usage();
            }
            evolve = e;
        } else {
            return usage();
        }
    }
    std::mt19937 engine(seed);
    if (evolve) {
        std::printf("%s\n", measureEvolve(*evolve, engine).c_str());
        return 0;
    }
    if (!peersPath.empty()) return measurePeers(peersPath, networkCount, minSeconds, engine);
    if (workloads.empty() || batches.empty()) return usage();

    const int32_t maxBatch = *std::max_element(batches.begin(), batches.end());
    const kestrin::SampleMatrix x = makeSamples(engine, maxBatch, kInputs);
    const kestrin::SampleMatrix y = makeSamples(engine, maxBatch, kOutputs);
    const std::vector<int32_t> ids = {kestrin::kMse};

    FILE* dump = nullptr;
    if (!dumpPath.empty()) {
        dump = std::fopen(dumpPath.c_str(), "w");
        if (!dump) {
            std::perror(dumpPath.c_str());
            return 1;
        }
        std::fprintf(dump, "{\"x\": [");
        for (int32_t i = 0; i < x.rows(); ++i) {
            std::fprintf(dump, "%s[", i ? ", " : "");
            for (int32_t j = 0; j < x.columns(); ++j) std::fprintf(dump, "%s%.17g", j ? ", " : "", x.at(i, j));
            std::fprintf(dump, "]");
        }
        std::fprintf(dump, "], \"workloads\": [");
    }

    std::printf("{\"networks\": %d, \"results\": [", networkCount);
    bool firstResult = true;
    for (size_t w = 0; w < workloads.size(); ++w) {
        std::vector<Network> networks;
        int64_t connections = 0;
        for (int32_t k = 0; k < networkCount; ++k) {
            networks.push_back(makeNetwork(engine, workloads[w].nodes, workloads[w].connections, activation));
            kestrin::CompiledNetwork plan;
            plan.compile(networks.back());
            connections += plan.forwardConnections();
        }
        if (dump) {
            std::fprintf(dump, "%s{\"nodes\": %d, \"networks\": ", w ? ", " : "", workloads[w].nodes);
            dumpNetworks(dump, networks, dumpCount);
            std::fprintf(dump, "}");
        }
        kestrin::BatchScorer scorer, singleScorer;
        singleScorer.setPrecision(kestrin::Precision::kFloat32);
        for (int32_t batch : batches) {
            const kestrin::SampleView xs = x.view().slice(0, batch);
            const kestrin::SampleView ys = y.view().slice(0, batch);
            kestrin::ScoreRows reference, fast;
            const double referenceSeconds =
                fastestPass(minSeconds, [&] { reference = kestrin::evaluateReference(networks, xs, ys, ids); });
            const double fastSeconds = fastestPass(minSeconds, [&] { fast = scorer.score(networks, xs, ys, ids); });
            kestrin::ScoreRows single;
            const double singleSeconds =
                withGradient ? 0.0 : fastestPass(minSeconds, [&] { single = singleScorer.score(networks, xs, ys, ids); });
            const double connectionSamples = static_cast<double>(connections) * batch;
            double gradientSeconds = 0.0;
            if (withGradient) {
                kestrin::GradientPass pass;
                volatile double sink = 0.0;
                gradientSeconds = fastestPass(minSeconds, [&] {
                    for (const Network& network : networks) {
                        pass.compile(network);
                        sink = sink + pass.run(xs, ys, kestrin::kMse);
                    }
                });
                std::printf("%s{\"nodes\": %d, \"connections_per_network\": %.1f, \"batch\": %d, "
                            "\"fast_seconds\": %.6g, \"gradient_seconds\": %.6g}",
                            firstResult ? "" : ", ", workloads[w].nodes,
                            static_cast<double>(connections) / networkCount, batch, fastSeconds, gradientSeconds);
                std::fflush(stdout);
                firstResult = false;
                continue;
            }
            std::printf(
                "%s{\"nodes\": %d, \"connections_per_network\": %.1f, \"batch\": %d, \"reference_seconds\": %.6g, "
                "\"fast_seconds\": %.6g, \"reference_connection_samples_per_second\": %.6g, "
                "\"fast_connection_samples_per_second\": %.6g, \"identical\": %s, \"float32_seconds\": %.6g, "
                "\"float32_connection_samples_per_second\": %.6g}",
                firstResult ? "" : ", ", workloads[w].nodes, static_cast<double>(connections) / networkCount, batch,
                referenceSeconds, fastSeconds, connectionSamples / referenceSeconds, connectionSamples / fastSeconds,
                sameBits(reference, fast) ? "true" : "false", singleSeconds, connectionSamples / singleSeconds);
            std::fflush(stdout);
            firstResult = false;
        }
    }
    std::printf("]");
    if (withRoofline) std::printf(", \"roofline\": %s", roofline(minSeconds).c_str());
    std::printf("}\n");
    if (dump) {
        std::fprintf(dump, "]}\n");
        std::fclose(dump);
    }
    return 0;
}

"""Scoring benchmark: the reference forward pass, the compiled fast path and neat-python,
side by side on the same networks and samples, with a one-core multiply-add roofline,
whole evolve generations on a small dataset, and the cost of a full gradient against a loss evaluation
(N=32 and N=100, batch 1,024; --gradient-only runs just that); then evolve and predict with one and
two scoring threads (bench/workers.py).

Set-up and run, from the repository root (a few minutes on 2 cores):

    pip install -r bench/requirements.txt
    python3 bench/run.py

It builds the benchmark executable and the module in build/bench (CMake option
KESTRIN_BUILD_BENCH), prints a table and writes every number to
bench/results/scoring-<time>.json. The module it times is the one it built, not an
installed kestrin.
Throughput is in connection-samples per second: the forward connections a network's
pass adds up, times the samples scored, per second of CPU time of the scoring thread
(so other work on the machine disturbs the numbers less than wall time would).

The reference is evaluateReference() running Network::activate per sample; the fast path is
BatchScorer on the same networks, samples and loss (mse), whose results are checked
to be identical. neat-python activates networks of the same topology and weights
(with its own sigmoid/tanh/relu/identity, which scale their input) on the same
samples, one sample per call, as it is used.
"""

import argparse
import json
import math
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time

import classification
import jax_peer
import workers

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# (nodes, connections): 8 inputs and 2 outputs each.
WORKLOADS = [(34, 270), (100, 1300), (200, 3600)]
BATCHES = [4, 256, 1024]
# Same connection count at two node counts: cost should follow connections. 400 is
# within reach of both: 32 nodes hold at most 467 forward connections, and 256 nodes
# need about 370 to put every node on an input-to-output path.
SCALING = [(32, 400), (256, 400)]
SCALING_BATCH = 1024
# Activation ids for the scaling runs: random (-1) as everywhere else, then all
# linear, which shows the cost of the nodes themselves without sigmoid and tanh.
SCALING_ACTIVATIONS = [-1, 3]
# The full gradient against a loss evaluation of the same networks on the same batch.
GRADIENT = [(32, 400), (100, 1300)]
GRADIENT_BATCH = 1024
# W1: 1,000 samples, Model(8, 2, size=32), pop_size 100, full batch.
W1 = {"samples": 1000, "size": 32, "pop_size": 100}


def build(build_dir):
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    subprocess.run(
        ["cmake", "-S", ROOT, "-B", build_dir, *generator, "-DCMAKE_BUILD_TYPE=Release",
         "-DKESTRIN_BUILD_BENCH=ON"],
        check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "-j2", "--target", "scoring_bench", "kestrin"], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(build_dir, "scoring_bench")


def run_native(executable, workloads, batches, networks, min_seconds, extra=()):
    args = [executable, "--networks", str(networks), "--min-seconds", str(min_seconds), *extra]
    for nodes, connections in workloads:
        args += ["--workload", f"{nodes}:{connections}"]
    for batch in batches:
        args += ["--batch", str(batch)]
    completed = subprocess.run(args, check=True, stdout=subprocess.PIPE, text=True)
    return json.loads(completed.stdout)


def neat_network(layout):
    """A neat-python FeedForwardNetwork with the nodes, biases and weights of layout (one dumped network)."""
    import neat.activations as activations
    import neat.aggregations as aggregations
    from neat.nn import FeedForwardNetwork

    functions = {0: activations.sigmoid_activation, 1: activations.tanh_activation,
                 2: activations.relu_activation, 3: activations.identity_activation}
    size, inputs, outputs = layout["size"], layout["inputs"], layout["outputs"]
    links = {j: [] for j in range(inputs, size)}
    for source, target, weight in layout["connections"]:  # ascending sources per target
        links[target].append((source, weight))
    # Index order is a valid evaluation order.
    node_evals = [(j, functions[layout["activations"][j]], aggregations.sum_aggregation, layout["biases"][j], 1.0,
                   links[j]) for j in range(inputs, size)]
    return FeedForwardNetwork(list(range(inputs)), list(range(size - outputs, size)), node_evals), \
        len(layout["connections"])


def run_neat(dump, batches, seconds_per_cell):
    """Connection-samples per second of neat-python for every workload and batch.

    Each cell activates the dumped networks one after another on the batch's samples
    until its time budget is spent (at least one whole network)."""
    samples = dump["x"]
    results = []
    for workload in dump["workloads"]:
        nets = [neat_network(layout) for layout in workload["networks"]]
        for batch in batches:
            rows = samples[:batch]
            used = connection_samples = 0
            start = time.process_time()
            for net, connections in nets:
                for row in rows:
                    net.activate(row)
                used += 1
                connection_samples += connections * len(rows)
                if time.process_time() - start >= seconds_per_cell:
                    break
            elapsed = time.process_time() - start
            results.append({"nodes": workload["nodes"], "batch": batch, "networks": used,
                            "connection_samples_per_second": connection_samples / elapsed})
    return results


def w1_data(samples, seed=1):
    """Eight normal inputs; targets tanh(sum / 2) and the sigmoid of x0 x1 x2."""
    import numpy as np
    x = np.random.default_rng(seed).normal(size=(samples, 8))
    y = np.stack([np.tanh(0.5 * x.sum(axis=1)), 1.0 / (1.0 + np.exp(-x[:, 0] * x[:, 1] * x[:, 2]))], axis=1)
    return x, y


def measure_evolve(executable, build_dir, generations, runs):
    """Whole generations on W1, and the share of a generation spent outside scoring.

    The share comes from the benchmark executable, which runs the dataset loop's
    generation step with the scorer timed inside it (nothing in the library times
    itself). Model.evolve on the same task, timed from here, shows that a generation
    costs the same through the Python method. Runs are not reproducible (the
    evolution draws from the clock-seeded C library generator), so each is repeated."""
    task = f"{W1['samples']}:{W1['size']}:{W1['pop_size']}:{generations}"
    loops = []
    for _ in range(runs):
        completed = subprocess.run([executable, "--evolve", task], check=True, stdout=subprocess.PIPE, text=True)
        loops.append(json.loads(completed.stdout))
    # Pooled over the runs: how the networks grow differs from run to run, and with it
    # the scoring time (by up to a half), while the rest of a generation hardly moves.
    result = {"generations": generations, "runs": loops}
    result["seconds_per_generation"] = sum(r["seconds_per_generation"] for r in loops) / runs
    result["scoring_seconds_per_generation"] = sum(r["scoring_seconds_per_generation"] for r in loops) / runs
    result["outside_scoring_share"] = 1.0 - result["scoring_seconds_per_generation"] / result["seconds_per_generation"]
    result["outside_scoring_share_range"] = [min(r["outside_scoring_share"] for r in loops),
                                             max(r["outside_scoring_share"] for r in loops)]

    sys.path.insert(0, build_dir)
    try:
        import kestrin
    except ImportError as error:
        result["python"] = {"status": f"skipped: kestrin module not importable ({error})"}
        return result
    x, y = w1_data(W1["samples"])
    per_generation = []
    for _ in range(runs):
        model = kestrin.Model(8, 2, size=W1["size"])
        model.compile(loss="mse")
        # CPU time of this thread, as in the executable (NumPy's own threads stay out).
        start = time.thread_time()
        history = model.evolve(x, y, pop_size=W1["pop_size"], epochs=generations, verbose=0)
        per_generation.append((time.thread_time() - start) / generations)
    result["python"] = {"module": kestrin.__file__, "seconds_per_generation": median(per_generation),
                        "runs": per_generation, "final_loss": history["loss"][-1]}
    return result


def median(values):
    values = sorted(values)
    middle = len(values) // 2
    return values[middle] if len(values) % 2 else 0.5 * (values[middle - 1] + values[middle])


def giga(value):
    return f"{value / 1e9:7.3f}"


def print_table(native, neat, roofline):
    peak = roofline["register_multiply_adds_per_second"]
    single_peak = roofline["register_single_multiply_adds_per_second"]
    neat_by_cell = {(r["nodes"], r["batch"]): r for r in neat}
    print(f"one-core multiply-add roofline: {peak / 1e9:.2f} G/s in registers, "
          f"{roofline['l1_multiply_adds_per_second'] / 1e9:.2f} G/s from L1 (separate multiply and add); "
          f"float32 {single_peak / 1e9:.2f} G/s in registers")
    print("throughput in G connection-samples/s (CPU time of one thread); f32: the fast path in float32")
    header = (f"{'nodes':>5} {'conns':>6} {'batch':>5} | {'reference':>9} {'fast':>7} {'ratio':>6} | "
              f"{'neat':>8} {'fast/neat':>9} | {'% roof':>6} {'same':>4} | {'f32':>7} {'% roof':>6}")
    print(header)
    print("-" * len(header))
    for r in native["results"]:
        reference = r["reference_connection_samples_per_second"]
        fast = r["fast_connection_samples_per_second"]
        cell = neat_by_cell.get((r["nodes"], r["batch"]))
        neat_rate = cell["connection_samples_per_second"] if cell else math.nan
        print(f"{r['nodes']:>5} {r['connections_per_network']:>6.0f} {r['batch']:>5} | {giga(reference):>9} "
              f"{giga(fast)} {fast / reference:>6.2f} | {neat_rate / 1e9:>8.5f} {fast / neat_rate:>9.0f} | "
              f"{100 * fast / peak:>6.1f} {'yes' if r['identical'] else 'NO':>4} | "
              f"{giga(r['float32_connection_samples_per_second'])} "
              f"{100 * r['float32_connection_samples_per_second'] / single_peak:>6.1f}")


def measure_peers(executable, networks, min_seconds):
    """kestrin float64 and float32 against the JAX peer (bench/jax_peer.py, its own process on one CPU) on W1 and
    W2: the same networks, samples and loss, timed in the same run."""
    with tempfile.TemporaryDirectory() as scratch:
        dump = os.path.join(scratch, "peers.json")
        completed = subprocess.run([executable, "--peers", dump, "--networks", str(networks), "--min-seconds",
                                    str(min_seconds)], check=True, stdout=subprocess.PIPE, text=True)
        kestrin = json.loads(completed.stdout)
        try:
            import jax  # noqa: F401  (only whether it is there)
        except ImportError:
            return {"kestrin": kestrin, "jax": None}
        completed = subprocess.run([sys.executable, jax_peer.__file__, dump, "--min-seconds", str(min_seconds)],
                                   check=True, stdout=subprocess.PIPE, text=True)
        return {"kestrin": kestrin, "jax": json.loads(completed.stdout)}


def peer_ratios(peers):
    """Per workload and precision: kestrin's seconds, the best JAX form and its seconds, and JAX over kestrin."""
    rows = []
    for name, own in peers["kestrin"].items():
        cells = peers["jax"][name]
        for precision in ("float32", "float64"):
            form = min(("gather", "dense"), key=lambda f: cells[f"{precision}_{f}"]["seconds"])
            jax_seconds = cells[f"{precision}_{form}"]["seconds"]
            rows.append({"workload": name, "precision": precision, "kestrin_seconds": own[f"{precision}_seconds"],
                         "jax_form": form, "jax_seconds": jax_seconds,
                         "ratio": jax_seconds / own[f"{precision}_seconds"],
                         "jax_worst_relative_mse_difference":
                             cells[f"{precision}_{form}"]["worst_relative_mse_difference"]})
    return rows


def print_peers(peers):
    if peers["jax"] is None:
        print("JAX is not installed: no JAX peer")
        return
    k = peers["kestrin"]
    print(f"scoring against JAX {peers['jax']['jax_version']} (lax.map over networks, fori_loop over steps; jit "
          f"excluded; one core; median ms per pass over {k['W1']['networks']} networks, mse):")
    print(f"  W1: evolved Model(8, 2, size=32), {k['W1']['connections_per_network']:.0f} connections, "
          f"{k['W1']['samples']} samples; W2: 100 nodes, {k['W2']['connections_per_network']:.0f} connections, "
          f"{k['W2']['samples']} samples")
    for r in peer_ratios(peers):
        print(f"  {r['workload']} {r['precision']}: kestrin {1e3 * r['kestrin_seconds']:8.2f}   JAX "
              f"({r['jax_form']:>6}) {1e3 * r['jax_seconds']:8.2f}   JAX/kestrin {r['ratio']:5.2f}x")
    for name in k:
        print(f"  {name}: float32 over float64 time {k[name]['float32_seconds'] / k[name]['float64_seconds']:.2f}, "
              f"mse within {k[name]['float32_worst_relative_mse_difference']:.1e} * (1 + mse)")


def print_evolve(evolve):
    low, high = evolve["outside_scoring_share_range"]
    print(f"evolve on W1 ({W1['samples']} samples, Model(8, 2, size={W1['size']}), pop_size {W1['pop_size']}, "
          f"full batch; {len(evolve['runs'])} runs of {evolve['generations']} generations):")
    print(f"  generation {1e3 * evolve['seconds_per_generation']:.2f} ms, scoring "
          f"{1e3 * evolve['scoring_seconds_per_generation']:.2f} ms, outside scoring "
          f"{100 * evolve['outside_scoring_share']:.1f}% (runs {100 * low:.1f}% to {100 * high:.1f}%)")
    parts = {name: sum(r["breakdown_seconds_per_generation"][name] for r in evolve["runs"]) / len(evolve["runs"])
             for name in evolve["runs"][0]["breakdown_seconds_per_generation"]}
    print("  step by step (ms per generation): " +
          ", ".join(f"{name} {1e3 * seconds:.3f}" for name, seconds in parts.items()))
    python = evolve["python"]
    if "seconds_per_generation" in python:
        print(f"  Model.evolve from Python: {1e3 * python['seconds_per_generation']:.2f} ms per generation")
    else:
        print(f"  Model.evolve from Python: {python['status']}")


def print_targets(native, neat, scaling, evolve, cross_entropy, peers):
    medium = next(r for r in native["results"] if r["nodes"] == 100 and r["batch"] == 1024)
    speedup = medium["reference_seconds"] / medium["fast_seconds"]
    cell = next((r for r in neat if r["nodes"] == 100 and r["batch"] == 1024), None)
    over_neat = medium["fast_connection_samples_per_second"] / cell["connection_samples_per_second"] if cell else math.nan
    small, large = scaling["-1"]["results"]
    spread = large["fast_seconds"] / small["fast_seconds"]
    share = evolve["outside_scoring_share"]
    roof = medium["fast_connection_samples_per_second"] / native["roofline"]["register_multiply_adds_per_second"]
    peer_targets = [(f"{r['workload']} {r['precision']}: kestrin {r['ratio']:.2f}x the best JAX {r['precision']} "
                     f"peer (>= 2x)", r["ratio"] >= 2) for r in peer_ratios(peers)] if peers["jax"] else []
    print("targets:")
    for text, met in [
        (f"N=100 batch 1024: fast path {speedup:.1f}x the reference (>= 6x)", speedup >= 6),
        (f"N=100 batch 1024: fast path {over_neat:.0f}x neat-python (>= 120x)", over_neat >= 120),
        (f"W1 evolve: {100 * share:.1f}% of a generation outside scoring (<= 10%)", share <= 0.10),
        (f"same connections, N=256 over N=32: {spread:.2f}x (< 1.5x)", spread < 1.5),
        ("fast path identical to the reference on every workload",
         all(r["identical"] for r in native["results"])),
        (f"N=100 batch 1024, random activations: float64 fast path {100 * roof:.1f}% of the roofline (>= 35%)",
         roof >= 0.35),
    ] + peer_targets + ([(f"W1 evolve: a generation with categorical cross-entropy {cross_entropy['ratio']:.2f}x the time of "
           f"mse (<= 1.3x; one-hot W1 targets, bench/classification.py)", cross_entropy["ratio"] <= 1.3)]
         if cross_entropy else []):
        print(f"  {'met    ' if met else 'NOT met'}  {text}")


def measure_gradient(executable, networks, min_seconds):
    return run_native(executable, GRADIENT, [GRADIENT_BATCH], networks, min_seconds, ["--no-roofline", "--gradient"])


def print_gradient(gradient):
    for r in gradient["results"]:
        ratio = r["gradient_seconds"] / r["fast_seconds"]
        print(f"gradient (loss and every derivative) over loss evaluation, N={r['nodes']}, "
              f"{r['connections_per_network']:.0f} connections, batch {r['batch']}: {ratio:.2f}x "
              f"({'met' if ratio <= 3.0 else 'NOT met'}: target <= 3x)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build", "bench"))
    parser.add_argument("--networks", type=int, default=200)
    parser.add_argument("--min-seconds", type=float, default=0.5, help="timing per cell and path, at least")
    parser.add_argument("--neat-seconds", type=float, default=2.0, help="neat-python time budget per cell")
    parser.add_argument("--generations", type=int, default=40, help="evolve generations per W1 run")
    parser.add_argument("--evolve-runs", type=int, default=5, help="W1 runs (pooled)")
    parser.add_argument("--workers-runs", type=int, default=3, help="runs per task of the workers table")
    parser.add_argument("--quick", action="store_true", help="fewer networks and shorter timings")
    parser.add_argument("--gradient-only", action="store_true", help="only the gradient-cost ratio")
    args = parser.parse_args()
    if args.quick:
        args.networks, args.min_seconds, args.neat_seconds = 40, 0.1, 0.3
        args.generations, args.evolve_runs = 10, 1

    executable = build(args.build_dir)
    if args.gradient_only:
        print_gradient(measure_gradient(executable, args.networks, args.min_seconds))
        return
    with tempfile.TemporaryDirectory() as scratch:
        dump_path = os.path.join(scratch, "networks.json")
        native = run_native(executable, WORKLOADS, BATCHES, args.networks, args.min_seconds,
                            ["--dump", dump_path, "--dump-networks", "20"])
        with open(dump_path) as file:
            dump = json.load(file)
    try:
        neat = run_neat(dump, BATCHES, args.neat_seconds)
    except ImportError:
        print("neat-python is not installed (pip install -r bench/requirements.txt): its column stays empty")
        neat = []
    scaling = {str(activation): run_native(executable, SCALING, [SCALING_BATCH], args.networks, args.min_seconds,
                                           ["--no-roofline", "--activation", str(activation)])
               for activation in SCALING_ACTIVATIONS}
    gradient = measure_gradient(executable, args.networks, args.min_seconds)
    peers = measure_peers(executable, args.networks, args.min_seconds)
    evolve = measure_evolve(executable, args.build_dir, args.generations, args.evolve_runs)
    try:
        import kestrin  # the module built above (measure_evolve put build_dir first on the path)
        threads = workers.measure(kestrin, 1 if args.quick else args.workers_runs, 0.25 if args.quick else 1.0)
        cross_entropy = classification.w1_cross_entropy(kestrin, args.generations, args.evolve_runs)
    except ImportError:
        threads = cross_entropy = None

    print_table(native, neat, native["roofline"])
    for activation, run in scaling.items():
        small, large = run["results"]
        kind = "random activations" if activation == "-1" else f"activation {activation} only"
        print(f"same connections ({small['connections_per_network']:.0f} and {large['connections_per_network']:.0f}), "
              f"N={large['nodes']} over N={small['nodes']} scoring time (batch {SCALING_BATCH}, {kind}): "
              f"fast path {large['fast_seconds'] / small['fast_seconds']:.2f}x, "
              f"reference {large['reference_seconds'] / small['reference_seconds']:.2f}x")
    print_gradient(gradient)
    print_peers(peers)
    print_evolve(evolve)
    print_targets(native, neat, scaling, evolve, cross_entropy, peers)
    threads = workers.report(threads) if threads else "skipped: kestrin module not importable"

    record = {
        "time": time.strftime("%Y-%m-%dT%H:%M:%S"),
        "machine": {"platform": platform.platform(), "processor": cpu_name(), "cpus": os.cpu_count(),
                    "load_average": os.getloadavg()},
        "settings": vars(args),
        "native": native,
        "neat_python": neat,
        "scaling": scaling,
        "gradient": gradient,
        "peers": peers,
        "evolve": evolve,
        "workers": threads,
        "w1_cross_entropy": cross_entropy,
    }
    results_dir = os.path.join(ROOT, "bench", "results")
    os.makedirs(results_dir, exist_ok=True)
    path = os.path.join(results_dir, time.strftime("scoring-%Y%m%d-%H%M%S.json"))
    with open(path, "w") as file:
        json.dump(record, file, indent=1)
    print(f"written to {os.path.relpath(path, ROOT)}")


def cpu_name():
    try:
        with open("/proc/cpuinfo") as file:
            for line in file:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor()


if __name__ == "__main__":
    main()

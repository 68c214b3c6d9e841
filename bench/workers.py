"""Scoring threads: evolve and predict with workers=1 and workers=2 side by side.

Run from the repository root, alone or as part of run.py:

    python3 bench/workers.py            # --quick for a smoke run

It builds the module in build/bench as run.py does. Times are wall-clock (the
point of a second thread); CPU time of the process is shown next to them, so that
a busy machine shows as a wall time well above CPU time / workers. Where
kestrin.set_random_seed exists every run of a task starts from the same seed and
follows the same trajectory whatever `workers` is; otherwise runs alternate and
the medians are compared (the networks grow differently from run to run).
"""

import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# name, samples, Model size, pop_size, generations (full batch); then predict rows.
EVOLVE_TASKS = [("W1", 1000, 32, 100, 40), ("larger", 4096, 100, 100, 6)]
PREDICT_ROWS = 100_000
PREDICT_SIZE = 100
TARGETS = {"W1": 1.7, "larger": 1.85, "predict": 1.8}


def task_data(samples, seed=1):
    import numpy as np
    x = np.random.default_rng(seed).normal(size=(samples, 8))
    y = np.stack([np.tanh(0.5 * x.sum(axis=1)), 1.0 / (1.0 + np.exp(-x[:, 0] * x[:, 1] * x[:, 2]))], axis=1)
    return x, y


def timed(call):
    wall, cpu = time.perf_counter(), time.process_time()
    call()
    return time.perf_counter() - wall, time.process_time() - cpu


def median(values):
    values = sorted(values)
    middle = len(values) // 2
    return values[middle] if len(values) % 2 else 0.5 * (values[middle - 1] + values[middle])


def measure(kestrin, runs, scale=1.0):
    seeded = hasattr(kestrin, "set_random_seed")
    rows = []
    for name, samples, size, pop_size, generations in EVOLVE_TASKS:
        generations = max(2, int(generations * scale))
        x, y = task_data(samples)
        times = {1: [], 2: []}
        for run in range(runs):
            for workers in (1, 2):
                if seeded:
                    kestrin.set_random_seed(run + 1)
                model = kestrin.Model(8, 2, size=size)
                model.compile(loss="mse")
                wall, cpu = timed(lambda: model.evolve(x, y, pop_size=pop_size, epochs=generations, verbose=0,
                                                       workers=workers))
                times[workers].append((wall / generations, cpu / generations))
        rows.append((f"{name} evolve ({samples} samples, size {size}, pop {pop_size}), per generation", name, times))

    x, _ = task_data(PREDICT_ROWS, seed=2)
    model = kestrin.Model(8, 2, size=PREDICT_SIZE)
    times = {1: [], 2: []}
    for _ in range(runs * 3):
        for workers in (1, 2):
            times[workers].append(timed(lambda: model.predict(x, workers=workers)))
    rows.append((f"predict ({PREDICT_ROWS} rows, size {PREDICT_SIZE}), per call", "predict", times))
    return {"seeded": seeded, "rows": rows}


def report(result):
    print(f"workers 1 and 2, wall time (process CPU time); {'seeded runs' if result['seeded'] else 'unseeded runs'}, "
          f"medians; {os.cpu_count()} cores, load average {os.getloadavg()[0]:.1f}")
    lines, targets = [], []
    for text, key, times in result["rows"]:
        one = median([wall for wall, _ in times[1]]), median([cpu for _, cpu in times[1]])
        two = median([wall for wall, _ in times[2]]), median([cpu for _, cpu in times[2]])
        speedup = one[0] / two[0]
        lines.append(f"  {text}: {1e3 * one[0]:.1f} ms ({1e3 * one[1]:.1f}) | {1e3 * two[0]:.1f} ms "
                     f"({1e3 * two[1]:.1f}) | {speedup:.2f}x")
        targets.append((f"{key}: {speedup:.2f}x with 2 workers (>= {TARGETS[key]}x)", speedup >= TARGETS[key]))
    print("\n".join(lines))
    print("workers targets:")
    for text, met in targets:
        print(f"  {'met    ' if met else 'NOT met'}  {text}")
    return [{"task": key, "workers_1": times[1], "workers_2": times[2]} for _, key, times in result["rows"]]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build", "bench"))
    parser.add_argument("--runs", type=int, default=3, help="runs per task and workers value")
    parser.add_argument("--quick", action="store_true", help="one short run per task")
    parser.add_argument("--no-build", action="store_true", help="time the module already in --build-dir")
    args = parser.parse_args()
    if not args.no_build:
        sys.path.insert(0, HERE)
        from run import build
        build(args.build_dir)
    sys.path.insert(0, args.build_dir)
    import kestrin
    report(measure(kestrin, 1 if args.quick else args.runs, 0.25 if args.quick else 1.0))


if __name__ == "__main__":
    main()

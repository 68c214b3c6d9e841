"""Classification benchmark: cross-entropy against mse at the same number of evaluations, and the cost of
cross-entropy in a W1 generation.

Accuracy: scikit-learn's breast cancer (2 classes), iris (3) and digits (10), each split 75/25 (stratified, the
split's seed is the run's seed), standardised by a Pipeline's StandardScaler, and fitted by
kestrin.sklearn.KestrinClassifier with loss "auto" (binary cross-entropy on one logit for two classes, sparse
categorical cross-entropy on one logit per class otherwise) or "mse" (one 0/1 output for two classes, one-hot
outputs otherwise). Both run the "alpha" optimizer with pop_size 50 for 200 full-batch generations, 20,000
evaluations, and random_state = the seed. These settings were fixed before any run and are the same for every
task; nothing was tuned on these tasks or seeds. Prints the test accuracy of each seed and the medians.

W1: Model(8, 2, size=32), pop_size 100, 1,000 samples (bench/run.py's task) with one-hot targets (the larger of
the two W1 targets is the class), evolved with "mse" and with "categorical_crossentropy" from the same seeds;
CPU seconds of this thread per generation, medians over the runs. bench/run.py prints this ratio too.

    python3 bench/classification.py               # a few minutes on 2 cores
    python3 bench/classification.py --seeds 1 --generations 50
"""

import argparse
import json
import os
import statistics
import time

import numpy as np

import kestrin

HERE = os.path.dirname(os.path.abspath(__file__))
TASKS = ("cancer", "iris", "digits")
LOSSES = ("auto", "mse")


def load(task):
    from sklearn import datasets

    loader = {"cancer": datasets.load_breast_cancer, "iris": datasets.load_iris, "digits": datasets.load_digits}
    return loader[task](return_X_y=True)


def accuracy(task, loss, seed, pop_size, generations):
    from sklearn.model_selection import train_test_split
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import StandardScaler

    from kestrin.sklearn import KestrinClassifier

    x, y = load(task)
    x_train, x_test, y_train, y_test = train_test_split(x, y, test_size=0.25, random_state=seed, stratify=y)
    model = make_pipeline(StandardScaler(), KestrinClassifier(loss=loss, pop_size=pop_size, epochs=generations,
                                                              random_state=seed))
    return float(model.fit(x_train, y_train).score(x_test, y_test))


def w1_data(samples=1000, seed=0):
    x = np.random.default_rng(seed).normal(size=(samples, 8))
    y = np.stack([np.tanh(0.5 * x.sum(axis=1)), 1.0 / (1.0 + np.exp(-x[:, 0] * x[:, 1] * x[:, 2]))], axis=1)
    return x, np.eye(2)[np.argmax(y, axis=1)]


def w1_cross_entropy(module=kestrin, generations=20, runs=3):
    """Seconds per W1 generation with mse and with categorical cross-entropy, medians over the runs."""
    x, y = w1_data()
    seconds = {"mse": [], "categorical_crossentropy": []}
    for run in range(runs):
        for loss in seconds:
            module.set_random_seed(run)
            model = module.Model(8, 2, size=32)
            model.compile(loss=loss)
            start = time.thread_time()
            model.evolve(x, y, pop_size=100, epochs=generations, verbose=0)
            seconds[loss].append((time.thread_time() - start) / generations)
    result = {loss: statistics.median(values) for loss, values in seconds.items()}
    result["ratio"] = result["categorical_crossentropy"] / result["mse"]
    result["runs"] = seconds
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seeds", type=int, default=5)
    parser.add_argument("--pop-size", type=int, default=50)
    parser.add_argument("--generations", type=int, default=200)
    parser.add_argument("--tasks", nargs="*", default=list(TASKS))
    parser.add_argument("--w1-runs", type=int, default=3)
    args = parser.parse_args()

    evaluations = 2 * args.pop_size * args.generations
    print(f"test accuracy at {evaluations} evaluations (pop_size {args.pop_size}, {args.generations} generations), "
          f"seeds 0..{args.seeds - 1}")
    record = {"settings": vars(args), "accuracy": {}}
    for task in args.tasks:
        scores = {loss: [accuracy(task, loss, seed, args.pop_size, args.generations) for seed in range(args.seeds)]
                  for loss in LOSSES}
        medians = {loss: statistics.median(values) for loss, values in scores.items()}
        record["accuracy"][task] = {"runs": scores, "medians": medians}
        runs = "  ".join(f"{loss}: " + " ".join(f"{v:.3f}" for v in values) for loss, values in scores.items())
        met = "met    " if medians["auto"] >= medians["mse"] else "NOT met"
        print(f"  {met} {task:7} median cross-entropy {medians['auto']:.3f} >= mse {medians['mse']:.3f}   ({runs})")

    w1 = w1_cross_entropy(runs=args.w1_runs)
    record["w1"] = w1
    print(f"  {'met    ' if w1['ratio'] <= 1.3 else 'NOT met'} W1 generation: categorical cross-entropy "
          f"{1e3 * w1['categorical_crossentropy']:.2f} ms, mse {1e3 * w1['mse']:.2f} ms, {w1['ratio']:.2f}x (<= 1.3x)")

    os.makedirs(os.path.join(HERE, "results"), exist_ok=True)
    path = os.path.join(HERE, "results", time.strftime("classification-%Y%m%d-%H%M%S.json"))
    with open(path, "w") as file:
        json.dump(record, file, indent=1)
    print(f"written to {os.path.relpath(path, os.path.dirname(HERE))}")


if __name__ == "__main__":
    main()

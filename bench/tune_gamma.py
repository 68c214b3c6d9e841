"""How gamma's defaults were chosen: a small grid on tasks and seeds that bench/learning.py does not report.

Tasks: scikit-learn's make_friedman1 (10 inputs, 1,000 samples, noise 0; test mse, x and y standardised) and
wine (13 inputs, 3 one-hot outputs fitted by mse; test accuracy), 75/25 splits, 10,000 evaluations, pop 10,
seeds 1000-1002. Prints the median test figure of each setting.
"""

from __future__ import annotations

import itertools
import statistics
import sys

import numpy as np

import kestrin
from kestrin.optimizers import Gamma

from learning import split, standardise


def friedman1(seed: int):
    from sklearn.datasets import make_friedman1

    x, y = make_friedman1(n_samples=1000, noise=0.0, random_state=seed)
    xtr, xte, ytr, yte = split(x, y[:, None], seed)
    xtr, xte = standardise(xtr, xte)
    ytr, yte = standardise(ytr, yte)
    return xtr, ytr, xte, yte, lambda p, t: float(np.mean((p - t) ** 2))


def wine(seed: int):
    from sklearn.datasets import load_wine

    x, y = load_wine(return_X_y=True)
    xtr, xte, ytr, yte = split(x, np.eye(3)[y], seed)
    xtr, xte = standardise(xtr, xte)
    return xtr, ytr, xte, yte, lambda p, t: float(np.mean(p.argmax(1) == t.argmax(1)))


def median_figures(tasks, knobs: dict, evals: int, seeds=(1000, 1001, 1002), budgeted: bool = False) -> list[str]:
    """Each task's median test figure over the seeds, gamma with knobs at pop 10. budgeted: the evaluations are
    counted as bench/learning.py counts them (gradient passes included), else 20 per generation."""
    from learning import EvaluationBudget

    line = []
    for task in tasks:
        figures = []
        for seed in seeds:
            xtr, ytr, xte, yte, metric = task(seed)
            kestrin.set_random_seed(seed)
            model = kestrin.Model(xtr.shape[1], ytr.shape[1])
            model.compile(optimizer=Gamma(**knobs), loss="mse")
            callbacks = [EvaluationBudget(10, evals, "gamma")] if budgeted else []
            model.evolve(xtr, ytr, pop_size=10, epochs=evals // 20, verbose=0, callbacks=callbacks)
            figures.append(metric(model.predict(xte), yte))
        line.append(f"{task.__name__} {statistics.median(figures):.4{'g' if budgeted else 'f'}}")
    return line


def main() -> None:
    evals = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000
    # This grid ran before gradient passes existed: without them, these knobs are the ones that act.
    grid = {"hidden": (2, 4, 8), "step_size": (0.25, 0.5), "grow_patience": (0, 30), "refine_passes": (0,)}
    if len(sys.argv) > 2:  # a narrower second round around the first round's best
        grid = {"hidden": (6, 8, 12), "step_size": (0.15, 0.25), "grow_patience": (30,), "refine_passes": (0,)}
    for values in itertools.product(*grid.values()):
        knobs = dict(zip(grid, values))
        print(knobs, " | ".join(median_figures((friedman1, wine), knobs, evals)), flush=True)


if __name__ == "__main__":
    main()

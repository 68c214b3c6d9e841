"""How gamma's gradient-pass defaults (refine_passes, refine_step_size, weight_decay, max_weight_decay) were chosen.

Tasks that bench/learning.py does not report: make_friedman1, wine, sin(2 x0) tanh(x1) + 0.3 x1, a noisy
make_friedman1 (440 samples, noise 4) and make_circles, seeds 1000-1002, pop 10; with --noisy, four noisy tasks
scored by test R^2 (make_friedman1 with noise 4 and 2, a noisy linear make_regression) or accuracy (a 30-input
make_classification). Usage:
    python3 tune_gamma_refine.py EVALS [--seeds N] [--noisy] "{'refine_passes': 100}" "{'weight_decay': 1.0}" ...
Evaluations are counted as in bench/learning.py (a gradient pass as 3)."""
import os, sys, time
import numpy as np
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tune_gamma import friedman1, median_figures, wine

def wave(seed):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-np.pi, np.pi, (3000, 2))
    y = (np.sin(2 * x[:, 0]) * np.tanh(x[:, 1]) + 0.3 * x[:, 1])[:, None]
    return x[:1000], y[:1000], x[1000:], y[1000:], lambda p, t: float(np.mean((p - t) ** 2))

def noisy(seed):
    from sklearn.datasets import make_friedman1
    from learning import split, standardise
    x, y = make_friedman1(n_samples=440, noise=4.0, random_state=seed)
    xtr, xte, ytr, yte = split(x, y[:, None], seed)
    xtr, xte = standardise(xtr, xte); ytr, yte = standardise(ytr, yte)
    return xtr, ytr, xte, yte, lambda p, t: float(np.mean((p - t) ** 2))

def circles(seed):
    from sklearn.datasets import make_circles
    from learning import split, standardise
    x, y = make_circles(n_samples=400, noise=0.15, factor=0.5, random_state=seed)
    xtr, xte, ytr, yte = split(x, y[:, None].astype(float), seed)
    xtr, xte = standardise(xtr, xte)
    return xtr, ytr, xte, yte, lambda p, t: float(np.mean((p[:, 0] > 0.5) == (t[:, 0] > 0.5)))

def r2(p, t):
    return float(1.0 - np.sum((p - t) ** 2) / np.sum((t - t.mean()) ** 2))

def regression(make, seed, **kw):
    from learning import split, standardise
    x, y = make(random_state=seed, **kw)
    xtr, xte, ytr, yte = split(x, y[:, None], seed)
    xtr, xte = standardise(xtr, xte); ytr, yte = standardise(ytr, yte)
    return xtr, ytr, xte, yte, r2

# --noisy: noisy data where the held-out penalty acts, scored by test R^2 (accuracy for the classification).
def friedman_noise4(seed):
    from sklearn.datasets import make_friedman1
    return regression(make_friedman1, seed, n_samples=440, noise=4.0)

def friedman_noise2(seed):
    from sklearn.datasets import make_friedman1
    return regression(make_friedman1, seed, n_samples=440, noise=2.0)

def linear_noise(seed):  # about as linear and as noisy as a small medical regression: R^2 at best about 0.45
    from sklearn.datasets import make_regression
    return regression(make_regression, seed, n_samples=442, n_features=10, n_informative=6, noise=150.0)

def classes30(seed):
    from sklearn.datasets import make_classification
    from learning import split, standardise
    x, y = make_classification(n_samples=570, n_features=30, n_informative=8, flip_y=0.03, random_state=seed)
    xtr, xte, ytr, yte = split(x, y[:, None].astype(float), seed)
    xtr, xte = standardise(xtr, xte)
    return xtr, ytr, xte, yte, lambda p, t: float(np.mean((p[:, 0] > 0.5) == (t[:, 0] > 0.5)))

args = sys.argv[1:]
evals = int(args.pop(0))
seeds = (1000, 1001, 1002)
if args and args[0] == "--seeds":  # e.g. --seeds 6: seeds 1000-1005
    args.pop(0)
    seeds = tuple(range(1000, 1000 + int(args.pop(0))))
tasks = (friedman1, wine, wave, noisy, circles)
if args and args[0] == "--noisy":
    args.pop(0)
    tasks = (friedman_noise4, friedman_noise2, linear_noise, classes30)
import ast
for knobs in (ast.literal_eval(g) for g in args):
    t0 = time.process_time()
    line = median_figures(tasks, knobs, evals, seeds, budgeted=True)
    print(knobs, " | ".join(line), f"{time.process_time()-t0:.0f}s", flush=True)

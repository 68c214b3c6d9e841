"""How gamma's gradient-pass defaults (refine_passes, refine_step_size, weight_decay, max_weight_decay) were chosen.

Tasks that bench/learning.py does not report: make_friedman1, wine, sin(2 x0) tanh(x1) + 0.3 x1, a noisy
make_friedman1 (440 samples, noise 4) and make_circles, seeds 1000-1002, pop 10. Usage:
    python3 tune_gamma_refine.py EVALS [--seeds N] "{'refine_passes': 100}" "{'weight_decay': 1.0}" ...
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

args = sys.argv[1:]
evals = int(args.pop(0))
seeds = (1000, 1001, 1002)
if args and args[0] == "--seeds":  # e.g. --seeds 6: seeds 1000-1005
    args.pop(0)
    seeds = tuple(range(1000, 1000 + int(args.pop(0))))
import ast
for knobs in (ast.literal_eval(g) for g in args):
    t0 = time.process_time()
    line = median_figures((friedman1, wine, wave, noisy, circles), knobs, evals, seeds, budgeted=True)
    print(knobs, " | ".join(line), f"{time.process_time()-t0:.0f}s", flush=True)

"""How gamma's gradient-pass defaults (refine_passes, refine_step_size, weight_decay) were chosen.

Tasks that bench/learning.py does not report: make_friedman1, wine, sin(2 x0) tanh(x1) + 0.3 x1, a noisy
make_friedman1 (440 samples, noise 4) and make_circles, seeds 1000-1002, pop 10. Usage:
    python3 tune_gamma_refine.py EVALS "{'refine_passes': 100}" "{'weight_decay': 1.0}" ...
Evaluations are counted as in bench/learning.py (a gradient pass as 3)."""
import os, statistics, sys, time
import numpy as np
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kestrin
from kestrin.optimizers import Gamma
from tune_gamma import friedman1, wine
from learning import EvaluationBudget

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

evals = int(sys.argv[1])
import ast
grid = [ast.literal_eval(g) for g in sys.argv[2:]]
for knobs in grid:
    line = []
    t0 = time.process_time()
    for task in (friedman1, wine, wave, noisy, circles):
        figures = []
        for seed in (1000, 1001, 1002):
            xtr, ytr, xte, yte, metric = task(seed)
            kestrin.set_random_seed(seed)
            model = kestrin.Model(xtr.shape[1], ytr.shape[1])
            model.compile(optimizer=Gamma(**knobs), loss="mse")
            budget = EvaluationBudget(10, evals, "gamma")
            model.evolve(xtr, ytr, pop_size=10, epochs=evals // 20, verbose=0, callbacks=[budget])
            figures.append(metric(model.predict(xte), yte))
        line.append(f"{task.__name__} {statistics.median(figures):.4g}")
    print(knobs, " | ".join(line), f"{time.process_time()-t0:.0f}s", flush=True)

"""How gamma's step_size for func_evolve was chosen: Acrobot-v1 (not reported by bench/learning.py), seeds from
1000, pop 10, one episode per evaluation; solved when a generation's best averages >= -100 over 10 fresh episodes.
Usage: python3 tune_gamma_control.py BUDGET STEP_SIZES SEEDS, e.g. 2000 0.25,0.5,1.0,2.0 4."""
import os, sys, statistics, time
import numpy as np
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import learning, kestrin
from kestrin.optimizers import Gamma

def acro_action(out):
    return 0 if out < -0.5 else (2 if out > 0.5 else 1)
learning.CONTROL["acrobot"] = ("Acrobot-v1", 6, acro_action, 500, -100.0, 10)
budget = int(sys.argv[1]); steps = [float(s) for s in sys.argv[2].split(",")]
seeds = range(1000, 1000 + int(sys.argv[3]))
orig = kestrin.optimizers.Gamma
for step in steps:
    t = time.process_time()
    # run_control compiles by name: hand it the knob through a name lookup shim
    runs = []
    class Sub(kestrin.Model):
        def compile(self, optimizer=None, _s=step, **kw):
            return super().compile(optimizer=Gamma(step_size=_s), **kw)
    import types
    learning.kestrin = types.SimpleNamespace(Model=Sub, set_random_seed=kestrin.set_random_seed, optimizers=kestrin.optimizers)
    for seed in seeds:
        runs.append(learning.run_control("acrobot", "gamma", seed, budget))
    solved = [r["evals"] for r in runs if r["solved"]]
    print(step, f"{len(solved)}/{len(runs)}", statistics.median(solved) if solved else None, f"{time.process_time()-t:.0f}s", flush=True)

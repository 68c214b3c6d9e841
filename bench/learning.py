"""Learning benchmark: how well "alpha", "beta" and neat-python learn for the same number of evaluations.

An evaluation is one network scored (on the whole training set, or for one CartPole episode). kestrin scores
2 x pop_size networks per generation (parents and children), neat-python pop_size, so neat-python runs twice the
generations for the same budget.

Tasks (all inputs standardised unless said otherwise):
  xor       pop 100, <= 300 kestrin generations (60k evals); solved: all four outputs of the final network on
            the right side of 0.5; evals to solve: up to the first generation whose best has mse < 0.05
  sincos    y = sin(x0) cos(x1), x uniform in [-pi, pi]^2, 1,000 training and 2,000 test samples,
            Model(2, 1, size=8), 200k evals; test mse
  diabetes  scikit-learn's diabetes, x and y standardised, 75/25 split, Model(10, 1), 200k evals; test R^2
  cancer    scikit-learn's breast cancer, 75/25 split, one output fitted to the 0/1 label by mse, 200k evals;
            test accuracy (output > 0.5)
  iris      scikit-learn's iris, 3 outputs fitted to the one-hot class by mse, 75/25 split, 200k evals;
            test accuracy (largest output)
  cartpole  gymnasium CartPole-v1 through func_evolve, pop 20, one episode per evaluation (loss = -reward),
            push right when the output > 0.5; solved when the best of a generation averages >= 475 over 20 fresh
            episodes (those checks are not counted as evaluations); budget 4,000 evals
  w1        time per generation on 1,000 samples, Model(8, 2, size=32), pop 100 (alpha and beta only)

Figures are CPU seconds of this process (the machine may be shared). --quick runs a small version of everything
in under two minutes. Results go to bench/results/learning.json.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import statistics
import sys
import tempfile
import time

import numpy as np

import kestrin

HERE = os.path.dirname(os.path.abspath(__file__))
OPTIMIZERS = ("alpha", "beta", "neat")


def seed_everything(seed: int) -> None:
    # kestrin draws from its own random module; seed it where the build offers that.
    if hasattr(kestrin, "set_random_seed"):
        kestrin.set_random_seed(seed)


# ---- datasets ---------------------------------------------------------------------------------------------


def standardise(train: np.ndarray, test: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    mean, std = train.mean(axis=0), train.std(axis=0)
    std[std == 0] = 1.0
    return (train - mean) / std, (test - mean) / std


def split(x: np.ndarray, y: np.ndarray, seed: int):
    from sklearn.model_selection import train_test_split

    return train_test_split(x, y, test_size=0.25, random_state=seed)


def sincos_data(seed: int):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-math.pi, math.pi, (3000, 2))
    y = (np.sin(x[:, 0]) * np.cos(x[:, 1]))[:, None]
    return x[:1000], y[:1000], x[1000:], y[1000:]


def diabetes_data(seed: int):
    from sklearn.datasets import load_diabetes

    x, y = load_diabetes(return_X_y=True)
    xtr, xte, ytr, yte = split(x, y[:, None], seed)
    xtr, xte = standardise(xtr, xte)
    ytr, yte = standardise(ytr, yte)
    return xtr, ytr, xte, yte


def cancer_data(seed: int):
    from sklearn.datasets import load_breast_cancer

    x, y = load_breast_cancer(return_X_y=True)
    xtr, xte, ytr, yte = split(x, y[:, None].astype(float), seed)
    xtr, xte = standardise(xtr, xte)
    return xtr, ytr, xte, yte


def iris_data(seed: int):
    from sklearn.datasets import load_iris

    x, y = load_iris(return_X_y=True)
    xtr, xte, ytr, yte = split(x, np.eye(3)[y], seed)
    xtr, xte = standardise(xtr, xte)
    return xtr, ytr, xte, yte


def r2(pred: np.ndarray, y: np.ndarray) -> float:
    return float(1.0 - np.sum((pred - y) ** 2) / np.sum((y - y.mean()) ** 2))


DATASETS = {
    # name: (loader, hidden nodes, metric name, metric(pred, y))
    "sincos": (sincos_data, 8, "test_mse", lambda p, y: float(np.mean((p - y) ** 2))),
    "diabetes": (diabetes_data, 0, "test_r2", r2),
    "cancer": (cancer_data, 0, "test_acc", lambda p, y: float(np.mean((p[:, 0] > 0.5) == (y[:, 0] > 0.5)))),
    "iris": (iris_data, 0, "test_acc", lambda p, y: float(np.mean(p.argmax(1) == y.argmax(1)))),
}


# ---- neat-python ------------------------------------------------------------------------------------------

NEAT_CONFIG = """
[NEAT]
fitness_criterion     = max
fitness_threshold     = 1e30
pop_size              = {pop}
reset_on_extinction   = False
no_fitness_termination = True

[DefaultGenome]
activation_default      = sigmoid
activation_mutate_rate  = 0.1
activation_options      = sigmoid tanh relu identity
aggregation_default     = sum
aggregation_mutate_rate = 0.0
aggregation_options     = sum
bias_init_mean          = 0.0
bias_init_stdev         = 1.0
bias_max_value          = 30.0
bias_min_value          = -30.0
bias_mutate_power       = 0.5
bias_mutate_rate        = 0.7
bias_replace_rate       = 0.1
compatibility_disjoint_coefficient = 1.0
compatibility_weight_coefficient   = 0.5
conn_add_prob           = 0.5
conn_delete_prob        = 0.5
enabled_default         = True
enabled_mutate_rate     = 0.01
feed_forward            = True
initial_connection      = full_nodirect
node_add_prob           = 0.2
node_delete_prob        = 0.2
num_hidden              = {hidden}
num_inputs              = {inputs}
num_outputs             = {outputs}
response_init_mean      = 1.0
response_init_stdev     = 0.0
response_max_value      = 30.0
response_min_value      = -30.0
response_mutate_power   = 0.0
response_mutate_rate    = 0.0
response_replace_rate   = 0.0
weight_init_mean        = 0.0
weight_init_stdev       = 1.0
weight_max_value        = 30
weight_min_value        = -30
weight_mutate_power     = 0.5
weight_mutate_rate      = 0.8
weight_replace_rate     = 0.1

[DefaultSpeciesSet]
compatibility_threshold = 3.0

[DefaultStagnation]
species_fitness_func = max
max_stagnation       = 20
species_elitism      = 2

[DefaultReproduction]
elitism            = {elitism}
survival_threshold = 0.2
"""


class Neat:
    """A neat-python population driven one generation at a time, with the benchmark's own fitness."""

    def __init__(self, inputs: int, outputs: int, hidden: int, pop: int, seed: int):
        import random

        import neat

        random.seed(seed)
        self.neat = neat
        # neat-python 2 needs pop >= species * elitism; wide inputs split into many species.
        elitism = 2 if inputs <= 4 and hidden == 0 else 1
        text = NEAT_CONFIG.format(pop=pop, inputs=inputs, outputs=outputs, hidden=hidden, elitism=elitism)
        with tempfile.NamedTemporaryFile("w", suffix=".cfg", delete=False) as f:
            f.write(text)
            path = f.name
        try:
            self.config = neat.Config(neat.DefaultGenome, neat.DefaultReproduction, neat.DefaultSpeciesSet,
                                      neat.DefaultStagnation, path)
        finally:
            os.unlink(path)
        self.population = neat.Population(self.config)
        self.best = None

    def generation(self, loss_of) -> None:
        """loss_of(net) -> loss; neat maximises -loss."""

        def evaluate(genomes, config):
            for _, genome in genomes:
                net = self.neat.nn.FeedForwardNetwork.create(genome, config)
                genome.fitness = -loss_of(net)

        self.best = self.population.run(evaluate, 1)

    def net(self):
        return self.neat.nn.FeedForwardNetwork.create(self.best, self.config)


def neat_predict(net, x: np.ndarray) -> np.ndarray:
    return np.array([net.activate(row) for row in x])


# ---- tasks ------------------------------------------------------------------------------------------------

XOR_X = np.array([[0, 0], [0, 1], [1, 0], [1, 1]], dtype=float)
XOR_Y = np.array([[0], [1], [1], [0]], dtype=float)


def xor_solved(pred: np.ndarray) -> bool:
    return bool(np.all((pred[:, 0] > 0.5) == (XOR_Y[:, 0] > 0.5)))


def run_xor(optimizer: str, seed: int, generations: int) -> dict:
    seed_everything(seed)
    pop = 100
    start = time.process_time()
    if optimizer == "neat":
        runner = Neat(2, 1, 0, pop, seed)
        for g in range(2 * generations):
            runner.generation(lambda net: float(np.mean((neat_predict(net, XOR_X) - XOR_Y) ** 2)))
            if np.mean((neat_predict(runner.net(), XOR_X) - XOR_Y) ** 2) < 0.05 and xor_solved(
                    neat_predict(runner.net(), XOR_X)):
                return {"solved": True, "evals": (g + 1) * pop, "time": time.process_time() - start}
        return {"solved": False, "evals": None, "time": time.process_time() - start}
    # One evolve call, so the population carries over; evals to solve from the first generation whose best
    # has mse < 0.05 (all four outputs are then on the right side of 0.5 in practice).
    model = kestrin.Model(2, 1)
    model.compile(optimizer=optimizer, loss="mse")
    history = model.evolve(XOR_X, XOR_Y, pop_size=pop, epochs=generations, verbose=0)
    solved = xor_solved(model.predict(XOR_X))
    first = next((g for g, loss in enumerate(history["loss"]) if loss < 0.05), None)
    return {"solved": solved, "evals": (first + 1) * 2 * pop if solved and first is not None else None,
            "time": time.process_time() - start}


def run_dataset(task: str, optimizer: str, seed: int, evals: int) -> dict:
    loader, hidden, metric_name, metric = DATASETS[task]
    xtr, ytr, xte, yte = loader(seed)
    seed_everything(seed)
    pop = 100
    start = time.process_time()
    if optimizer == "neat":
        runner = Neat(xtr.shape[1], ytr.shape[1], hidden, pop, seed)
        for _ in range(max(1, evals // pop)):
            runner.generation(lambda net: float(np.mean((neat_predict(net, xtr) - ytr) ** 2)))
        pred = neat_predict(runner.net(), xte)
        train = float(np.mean((neat_predict(runner.net(), xtr) - ytr) ** 2))
        size = len(runner.best.nodes) + xtr.shape[1]
    else:
        model = kestrin.Model(xtr.shape[1], ytr.shape[1], size=hidden) if hidden else kestrin.Model(
            xtr.shape[1], ytr.shape[1])
        model.compile(optimizer=optimizer, loss="mse")
        # One evolve call: the population carries over from generation to generation.
        history = model.evolve(xtr, ytr, pop_size=pop, epochs=max(1, evals // (2 * pop)), verbose=0)
        pred = model.predict(xte)
        train = history["loss"][-1]
        size = model.size
    return {metric_name: metric(pred, yte), "train_mse": train, "size": size, "time": time.process_time() - start}


def cartpole_episode(policy, seed: int) -> float:
    import gymnasium as gym

    env = gym.make("CartPole-v1")
    obs, _ = env.reset(seed=seed)
    total = 0.0
    for _ in range(500):
        obs, reward, terminated, truncated, _ = env.step(int(policy(obs) > 0.5))
        total += reward
        if terminated or truncated:
            break
    env.close()
    return total


def run_cartpole(optimizer: str, seed: int, budget: int) -> dict:
    seed_everything(seed)
    pop = 20
    episode_seeds = iter(range(seed * 10_000_000, (seed + 1) * 10_000_000))
    check_seeds = iter(range(10_000_000_000 + seed * 1_000_000, 10_000_000_000 + (seed + 1) * 1_000_000))
    start = time.process_time()
    evals = 0

    def passes(policy) -> bool:
        return statistics.mean(cartpole_episode(policy, next(check_seeds)) for _ in range(20)) >= 475

    if optimizer == "neat":
        runner = Neat(4, 1, 0, pop, seed)
        while evals < budget:
            runner.generation(lambda net: -cartpole_episode(lambda o: net.activate(o)[0], next(episode_seeds)))
            evals += pop
            net = runner.net()
            if runner.best.fitness >= 475 and passes(lambda o: net.activate(o)[0]):
                return {"solved": True, "evals": evals, "time": time.process_time() - start}
        return {"solved": False, "evals": None, "time": time.process_time() - start}

    model = kestrin.Model(4, 1)
    model.compile(optimizer=optimizer)
    state = {"evals": 0, "solved_at": None, "first": None}

    def train(genomes):
        losses = [-cartpole_episode(lambda o, g=g: g.predict(o[None, :])[0, 0], next(episode_seeds)) for g in genomes]
        state["evals"] += len(genomes)
        state["last_best"] = -min(losses)
        if state["first"] is None:
            state["first"] = -min(losses)
        return losses

    class Solved(Exception):
        pass

    # One func_evolve call per generation would rebuild the population; one long call keeps it, and the
    # validation function (called with the best after every generation) checks for a solution.
    def check(genome):
        if state["solved_at"] is None and state["last_best"] >= 475 and passes(lambda o: genome.predict(o[None, :])[0, 0]):
            state["solved_at"] = state["evals"]
        return 0.0

    epochs = max(1, budget // (2 * pop))
    # Stop early once solved, by raising through func_evolve from the next train call.
    original_train = train

    def train_until_solved(genomes):
        if state["solved_at"] is not None:
            raise Solved()
        return original_train(genomes)

    try:
        model.func_evolve(train_until_solved, pop_size=pop, epochs=epochs, verbose=0, validation_func=check)
    except Solved:
        pass
    solved = state["solved_at"] is not None
    return {"solved": solved, "evals": state["solved_at"], "first_best": state["first"],
            "time": time.process_time() - start}


def time_w1(optimizer: str, generations: int) -> float:
    rng = np.random.default_rng(0)
    x = rng.normal(size=(1000, 8))
    y = np.stack([np.sin(x[:, 0]) + x[:, 1] * x[:, 2], np.tanh(x[:, 3] - x[:, 4])], axis=1)
    model = kestrin.Model(8, 2, size=32)
    model.compile(optimizer=optimizer, loss="mse")
    model.evolve(x, y, pop_size=100, epochs=2, verbose=0)  # warm-up
    start = time.process_time()
    model.evolve(x, y, pop_size=100, epochs=generations, verbose=0)
    return (time.process_time() - start) / generations


# ---- summary ----------------------------------------------------------------------------------------------


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def fmt(value, digits=3):
    if value is None:
        return "-"
    if isinstance(value, float) and value.is_integer() and abs(value) >= 10:
        value = int(value)
    if isinstance(value, int):
        return f"{value:,}"
    if isinstance(value, float):
        return f"{value:.{digits}f}" if abs(value) < 1000 else f"{value:,.0f}"
    return str(value)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="a small version of every task (under two minutes)")
    parser.add_argument("--tasks", default="xor,sincos,diabetes,cancer,iris,cartpole,w1")
    parser.add_argument("--optimizers", default=",".join(OPTIMIZERS))
    parser.add_argument("--out", default=os.path.join(HERE, "results", "learning.json"), help="the JSON file")
    parser.add_argument("--seeds", type=int, default=None, help="seeds per task (default 5; XOR 40 in full mode)")
    args = parser.parse_args()
    tasks = args.tasks.split(",")
    optimizers = args.optimizers.split(",")

    quick = args.quick
    seeds = args.seeds or (2 if quick else 5)
    xor_seeds = args.seeds or (5 if quick else 40)
    dataset_evals = 4_000 if quick else 200_000
    neat_dataset_evals = 500 if quick else 20_000  # neat-python scores in Python: a tenth of the budget
    cartpole_budget = 800 if quick else 4_000
    results: dict = {"quick": quick, "tasks": {}}
    rows = []

    for task in tasks:
        for optimizer in optimizers:
            if task == "w1":
                if optimizer == "neat":
                    continue
                per_generation = time_w1(optimizer, 3 if quick else 20)
                results["tasks"].setdefault(task, {})[optimizer] = {"seconds_per_generation": per_generation}
                rows.append((task, optimizer, "-", "-", f"{per_generation * 1000:.1f} ms/gen", per_generation))
                continue
            runs = []
            count = xor_seeds if task == "xor" else seeds
            for seed in range(count):
                if task == "xor":
                    runs.append(run_xor(optimizer, seed, 30 if quick else 300))
                elif task == "cartpole":
                    runs.append(run_cartpole(optimizer, seed, cartpole_budget))
                else:
                    budget = neat_dataset_evals if optimizer == "neat" else dataset_evals
                    runs.append(run_dataset(task, optimizer, seed, budget))
            results["tasks"].setdefault(task, {})[optimizer] = runs
            elapsed = sum(r["time"] for r in runs)
            if task in ("xor", "cartpole"):
                solved = sum(r["solved"] for r in runs)
                rows.append((task, optimizer, f"{solved}/{len(runs)}", fmt(median(r["evals"] for r in runs)), "",
                             elapsed))
            else:
                metric = DATASETS[task][2]
                values = [r[metric] for r in runs]
                budget = neat_dataset_evals if optimizer == "neat" else dataset_evals
                rows.append((task, optimizer, "-", f"{budget:,}",
                             f"{metric} {fmt(median(values))} (min {fmt(min(values))}, max {fmt(max(values))})",
                             elapsed))
            print(f"  {task:9s} {optimizer:6s} done in {elapsed:.1f} s", file=sys.stderr, flush=True)

    print(f"{'task':9s} {'optimizer':9s} {'solved':8s} {'evals':>9s}  {'test metric (median over seeds)':44s} "
          f"{'cpu s':>7s}")
    for task, optimizer, solved, evals, metric, elapsed in rows:
        print(f"{task:9s} {optimizer:9s} {solved:8s} {evals:>9s}  {metric:44s} {elapsed:7.1f}")

    path = args.out
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "w") as f:
        json.dump(results, f, indent=1)
    print(f"wrote {path}")


if __name__ == "__main__":
    main()

"""Evolve a cart-pole controller, with each genome's fitness run on a Dask cluster.

The fitness is a simulation (the classic cart-pole physics, written here in NumPy),
so a generation's genomes are spread over the cluster's workers with
`client.map` and collected with `client.gather`. Genomes travel by pickle.

    python examples/distributed_fitness.py                               # a local cluster
    python examples/distributed_fitness.py --scheduler tcp://10.0.0.5:8786

Every worker needs NumPy and kestrin of the same version as the client.
"""
import argparse
import time

import numpy as np

import kestrin

GRAVITY = 9.8
CART_MASS = 1.0
POLE_MASS = 0.1
POLE_HALF_LENGTH = 0.5
FORCE = 10.0
TAU = 0.02  # seconds per step
X_LIMIT = 2.4
ANGLE_LIMIT = 12 * 2 * np.pi / 360
MAX_STEPS = 500
EPISODES = 4


def balanced_steps(genome, episodes=EPISODES, max_steps=MAX_STEPS, seed=0):
    """How many steps the genome keeps the pole up in each episode. The episodes
    run side by side, one `predict` per step; the same seed gives the same starts."""
    state = np.random.default_rng(seed).uniform(-0.05, 0.05, size=(episodes, 4))
    alive = np.ones(episodes, dtype=bool)
    steps = np.zeros(episodes, dtype=np.int64)
    total_mass = CART_MASS + POLE_MASS
    for _ in range(max_steps):
        # Output 1 above output 0 pushes right, otherwise left.
        outputs = genome.predict(state)
        force = np.where(outputs[:, 1] > outputs[:, 0], FORCE, -FORCE)
        x, x_dot, theta, theta_dot = state.T
        cos, sin = np.cos(theta), np.sin(theta)
        temp = (force + POLE_MASS * POLE_HALF_LENGTH * theta_dot**2 * sin) / total_mass
        theta_acc = (GRAVITY * sin - cos * temp) / (POLE_HALF_LENGTH * (4.0 / 3.0 - POLE_MASS * cos**2 / total_mass))
        x_acc = temp - POLE_MASS * POLE_HALF_LENGTH * theta_acc * cos / total_mass
        state = np.stack([x + TAU * x_dot, x_dot + TAU * x_acc, theta + TAU * theta_dot, theta_dot + TAU * theta_acc],
                         axis=1)
        alive &= (np.abs(state[:, 0]) <= X_LIMIT) & (np.abs(state[:, 2]) <= ANGLE_LIMIT)
        steps += alive
        if not alive.any():
            break
    return steps


def loss(genome):
    """kestrin minimises: 0.0 when every episode lasts MAX_STEPS."""
    return 1.0 - float(balanced_steps(genome).mean()) / MAX_STEPS


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scheduler", help="address of a running Dask scheduler; default: start a local cluster")
    parser.add_argument("--workers", type=int, default=2, help="worker processes of the local cluster (default 2)")
    parser.add_argument("--pop-size", type=int, default=20)
    parser.add_argument("--epochs", type=int, default=5)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    from distributed import Client, LocalCluster

    if args.scheduler:
        cluster = None
        client = Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True)
        client = Client(cluster)
    try:
        print(f"cluster: {len(client.scheduler_info()['workers'])} workers")
        kestrin.set_random_seed(args.seed)
        model = kestrin.Model(4, 2)
        model.compile(monitors=["size"])

        def train_func(genomes):
            return client.gather(client.map(loss, genomes))

        start = time.perf_counter()
        history = model.func_evolve(train_func, pop_size=args.pop_size, epochs=args.epochs)
        seconds = time.perf_counter() - start
        steps = balanced_steps(model)
        print(f"{args.epochs} generations in {seconds:.1f} s; best loss {min(history['loss']):.3f}; "
              f"the trained model balances {steps.mean():.0f} of {MAX_STEPS} steps on average")
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


if __name__ == "__main__":
    main()

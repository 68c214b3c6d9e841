"""How gamma's settings for func_evolve (samples alone) were chosen, on control tasks bench/learning.py does not
report: Acrobot-v1 (actions at -0.5 / 0.5 of the output; solved when a generation's best averages >= -100 over
10 fresh episodes) and InvertedPendulum-v5 (force 3 tanh(output); >= 950 over 10; needs `pip install mujoco
imageio`), seeds from 1000, pop 10, one episode per evaluation, as bench/learning.py runs CartPole and Pendulum.
TASKS=invbang runs InvertedPendulum-v5 with a bang-bang force (+3 where the output exceeds 0.5, else -3), switched
as the bench's CartPole is. TASKS=swingup (or a list, TASKS=acrobot,swingup) runs a cart-pole swing-up written here
(force SWINGUP_FORCE tanh(output), default 10; at 3 it takes several swings, SWINGUP=280 fits it; solved at >=
SWINGUP, default 300, over 10 fresh episodes; the round that chose grow_patience used SWINGUP=380 and budget
5,000). SWINGUP_START=anywhere starts the pole at any angle and spin, as Pendulum-v1 starts, so that returns vary
much more from episode to episode (SWINGUP=320 with SWINGUP_FORCE=3 fits it). An unsolved run counts as twice the
budget in the median. Usage:
    python3 tune_gamma_control.py BUDGET SEEDS "{'hidden': 8}" "{'step_size': 0.7}" ...
    python3 tune_gamma_control.py 3000 10 "{}" --peers cma-h8,cma-h16,neat    # the peers on the same runs"""
import ast, math, os, statistics, sys, time, types

import gymnasium
import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kestrin
import learning

SWINGUP_THRESHOLD = float(os.environ.get("SWINGUP", "300"))
SWINGUP_ANYWHERE = os.environ.get("SWINGUP_START") == "anywhere"
from kestrin.optimizers import Gamma


def acrobot_action(out: float) -> int:
    return 0 if out < -0.5 else (2 if out > 0.5 else 1)


class CartPoleSwingUp(gymnasium.Env):
    """A cart-pole that starts hanging down: swing the pole up and hold it, with a continuous force on the cart
    (force 10 tanh(output)). A swing-up like Pendulum-v1, but of another system (under-actuated through the
    cart, five observations). Reward per step: how upright the pole is times how central the cart is, both in
    [0, 1]; the episode ends when the cart leaves the track."""

    gravity, cart_mass, pole_mass, half_length, friction, dt, track = 9.82, 0.5, 0.5, 0.6, 0.1, 0.02, 2.4

    def __init__(self):
        self.rng = np.random.default_rng()

    def reset(self, seed=None):
        if seed is not None:
            self.rng = np.random.default_rng(seed)
        x, v, theta, omega = self.rng.normal([0.0, 0.0, math.pi, 0.0], 0.2)
        if SWINGUP_ANYWHERE:  # as Pendulum starts: the return then varies much more between episodes
            theta, omega = self.rng.uniform(-math.pi, math.pi), self.rng.uniform(-1.0, 1.0)
        self.state = [float(x), float(v), float(theta), float(omega)]
        return self.observe(), {}

    def observe(self):
        x, v, theta, omega = self.state
        return np.array([x, v, math.cos(theta), math.sin(theta), omega])

    def step(self, action):
        x, v, theta, omega = self.state
        force = float(action[0])
        m, mp, l, g = self.cart_mass + self.pole_mass, self.pole_mass, self.half_length, self.gravity
        s, c = math.sin(theta), math.cos(theta)
        a = (-2 * mp * l * omega * omega * s + 3 * mp * g * s * c + 4 * force - 4 * self.friction * v) / (4 * m - 3 * mp * c * c)
        alpha = (-3 * mp * l * omega * omega * s * c + 6 * m * g * s + 6 * (force - self.friction * v) * c) / (
            4 * l * m - 3 * mp * l * c * c)
        v, omega = v + a * self.dt, omega + alpha * self.dt
        x, theta = x + v * self.dt, theta + omega * self.dt
        self.state = [x, v, theta, omega]
        done = abs(x) > self.track
        reward = 0.0 if done else (math.cos(theta) + 1) / 2 * math.cos(x / self.track * math.pi / 2)
        return self.observe(), reward, done, False, {}


gymnasium.register("KestrinTuneSwingUp-v0", entry_point=CartPoleSwingUp, disable_env_checker=True,
                   order_enforce=False)

learning.CONTROL["acrobot"] = ("Acrobot-v1", 6, acrobot_action, 500, -100.0, 10)
learning.CONTROL["invpend"] = ("InvertedPendulum-v5", 4, lambda out: np.array([3.0 * math.tanh(out)]), 1000, 950.0, 10)
# Bang-bang, switched where the output crosses 0.5 as the bench's CartPole is: a start that computes 0 pushes
# one way whatever it observes.
learning.CONTROL["invbang"] = ("InvertedPendulum-v5", 4, lambda out: np.array([3.0 if out > 0.5 else -3.0]), 1000,
                               950.0, 10)
SWINGUP_FORCE = float(os.environ.get("SWINGUP_FORCE", "10"))
learning.CONTROL["swingup"] = ("KestrinTuneSwingUp-v0", 5, lambda out: np.array([SWINGUP_FORCE * math.tanh(out)]),
                               500, SWINGUP_THRESHOLD, 10)
TASKS = tuple(os.environ.get("TASKS", "acrobot,invpend").split(","))


def line(optimizer: str, budget: int, seeds: range) -> str:
    parts = []
    for task in TASKS:
        runs = [learning.run_control(task, optimizer, seed, budget) for seed in seeds]
        evals = [r["evals"] if r["solved"] else 2 * budget for r in runs]
        parts.append(f"{task} {sum(r['solved'] for r in runs)}/{len(runs)} in {statistics.median(evals):.0f}")
    return " | ".join(parts)


def main() -> None:
    args = sys.argv[1:]
    peers = args[args.index("--peers") + 1].split(",") if "--peers" in args else []
    if peers:
        del args[args.index("--peers"):args.index("--peers") + 2]
    budget, seeds = int(args[0]), range(1000, 1000 + int(args[1]))
    real_model = kestrin.Model
    for knobs in map(ast.literal_eval, args[2:]):
        # run_control compiles by name: hand it the knobs through a Model that compiles this Gamma.
        class Tuned(real_model):
            def compile(self, optimizer=None, _knobs=knobs, **kw):
                return super().compile(optimizer=Gamma(**_knobs), **kw)

        learning.kestrin = types.SimpleNamespace(Model=Tuned, set_random_seed=kestrin.set_random_seed,
                                                 optimizers=kestrin.optimizers)
        start = time.process_time()
        print(knobs, line("gamma", budget, seeds), f"{time.process_time() - start:.0f}s", flush=True)
    learning.kestrin = kestrin
    for peer in peers:
        print(peer, line(peer, budget, seeds), flush=True)


if __name__ == "__main__":
    main()

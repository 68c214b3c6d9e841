"""Balances gymnasium's CartPole-v1 with a network evolved by func_evolve.

Each generation, every candidate genome drives the cart for a few episodes; its loss is the negative
mean return (func_evolve keeps the lowest losses). The observation (4 numbers) goes in as one sample
of shape (1, 4), and an output above 0.5 pushes the cart right. At the end the evolved network plays
fresh episodes it has never seen; CartPole-v1 counts as solved at a mean return of 475 (the most an
episode can give is 500).

    python examples/cartpole.py                      # about a minute
    python examples/cartpole.py --generations 2 --episodes 1 --pop-size 10
"""
import argparse

import gymnasium as gym
import numpy as np

import kestrin


def episode_return(predict, env, seed):
    observation, _ = env.reset(seed=seed)
    total = 0.0
    while True:
        action = int(predict(observation.reshape(1, -1))[0, 0] > 0.5)
        observation, reward, terminated, truncated, _ = env.step(action)
        total += float(reward)
        if terminated or truncated:
            return total


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--generations", type=int, default=30, help="epochs of func_evolve")
    parser.add_argument("--episodes", type=int, default=3, help="episodes per candidate and generation")
    parser.add_argument("--test-episodes", type=int, default=20, help="fresh episodes for the final score")
    parser.add_argument("--pop-size", type=int, default=50, help="population size (even)")
    args = parser.parse_args()

    env = gym.make("CartPole-v1")
    generation = 0

    def train_func(genomes):
        # Every candidate meets the same episodes in a generation, new ones in the next.
        nonlocal generation
        seeds = [generation * args.episodes + k for k in range(args.episodes)]
        generation += 1
        return [-np.mean([episode_return(g.predict, env, seed) for seed in seeds]) for g in genomes]

    model = kestrin.Model(4, 1)
    model.compile(monitors=["size"])
    history = model.func_evolve(train_func, pop_size=args.pop_size, epochs=args.generations, verbose=1)

    # Seeds far from the training ones: episodes the network has never played.
    returns = [episode_return(model.predict, env, 1_000_000 + k) for k in range(args.test_episodes)]
    env.close()
    print(f"generations: {len(history['loss'])}, best training return: {-min(history['loss']):.1f}")
    print(f"mean return of the final genome over {args.test_episodes} fresh episodes: {np.mean(returns):.1f}")


if __name__ == "__main__":
    main()

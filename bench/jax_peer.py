"""The JAX peer of the scoring table: the networks and samples scoring_bench --peers dumped, scored with mse by
JAX on one core, in float32 and in float64 (jax_enable_x64), jit compile excluded.

Each network is the plan kestrin runs (nodes some output depends on, in index order, each with its sources in
ascending order), padded to the workload's largest: `jax.lax.map` over the networks and, per network,
`jax.lax.fori_loop` over the steps, each step a `lax.switch` over the four activations. Two forms of a step:
"gather" (the step's sources, padded, gathered and dotted with its weights) and "dense" (a weight for every slot,
a row-by-matrix product); the table takes the faster per precision. Times are the median process CPU time per
pass over all networks, pinned to one CPU with XLA's threading off.

    python3 bench/jax_peer.py DUMP [--min-seconds 0.5]   (prints JSON; bench/run.py runs it)
"""

import argparse
import json
import os
import sys
import time


def one_core():
    if hasattr(os, "sched_setaffinity"):
        os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})
    os.environ["XLA_FLAGS"] = (os.environ.get("XLA_FLAGS", "") +
                               " --xla_cpu_multi_thread_eigen=false intra_op_parallelism_threads=1").strip()
    os.environ.setdefault("JAX_PLATFORMS", "cpu")


def plans(networks, inputs):
    """Per network: steps (slot, bias, activation, sources, weights) of the nodes some output depends on."""
    result = []
    for net in networks:
        size, outputs = net["size"], net["outputs"]
        sources = {j: [] for j in range(size)}
        for source, target, weight in net["connections"]:  # forward only, ascending sources per target
            sources[target].append((source, weight))
        live = [False] * size
        for k in range(size - outputs, size):
            live[k] = True
        for j in range(size - 1, inputs - 1, -1):
            if live[j]:
                for source, _ in sources[j]:
                    live[source] = True
        steps = [(j, net["biases"][j], net["activations"][j], sources[j]) for j in range(inputs, size) if live[j]]
        result.append({"size": size, "outputs": list(range(size - outputs, size)), "steps": steps})
    return result


def padded_arrays(plan_list, np):
    slots = max(p["size"] for p in plan_list) + 1  # the last slot takes the padding steps' writes
    steps = max(len(p["steps"]) for p in plan_list)
    fan_in = max(max((len(s[3]) for s in p["steps"]), default=1) for p in plan_list)
    n = len(plan_list)
    slot = np.full((n, steps), slots - 1, np.int32)
    bias = np.zeros((n, steps))
    activation = np.full((n, steps), 3, np.int32)
    source = np.zeros((n, steps, fan_in), np.int32)
    weight = np.zeros((n, steps, fan_in))
    dense = np.zeros((n, steps, slots))
    out_slots = np.zeros((n, len(plan_list[0]["outputs"])), np.int32)
    for i, p in enumerate(plan_list):
        out_slots[i] = p["outputs"]
        for k, (j, b, a, links) in enumerate(p["steps"]):
            slot[i, k], bias[i, k], activation[i, k] = j, b, a if 0 <= a <= 3 else 4
            for c, (s, w) in enumerate(links):
                source[i, k, c], weight[i, k, c] = s, w
                dense[i, k, s] = w
    return slots, dict(slot=slot, bias=bias, activation=activation, source=source, weight=weight, dense=dense,
                       out_slots=out_slots)


def scorer(jax, jnp, slots, inputs, form):
    lax = jax.lax
    branches = [jax.nn.sigmoid, jnp.tanh, lambda z: jnp.maximum(z, 0), lambda z: z, jnp.zeros_like]

    def one(net, x_t, y):
        values = jnp.zeros((slots, x_t.shape[1]), x_t.dtype).at[:inputs].set(x_t)

        def step(k, values):
            if form == "gather":
                z = net["bias"][k] + net["weight"][k] @ values[net["source"][k]]
            else:
                z = net["bias"][k] + net["dense"][k] @ values
            return values.at[net["slot"][k]].set(lax.switch(net["activation"][k], branches, z))

        values = lax.fori_loop(0, net["slot"].shape[0], step, values)
        return jnp.mean((values[net["out_slots"]].T - y) ** 2)

    @jax.jit
    def score(nets, x_t, y):
        return lax.map(lambda net: one(net, x_t, y), nets)

    return score


def median_seconds(run, min_seconds):
    times = []
    while len(times) < 5 or sum(times) < min_seconds:
        start = time.process_time()
        run()
        times.append(time.process_time() - start)
    times.sort()
    n = len(times)
    return times[n // 2] if n % 2 else 0.5 * (times[n // 2 - 1] + times[n // 2])


def measure(dump, min_seconds):
    import jax
    jax.config.update("jax_enable_x64", True)
    import jax.numpy as jnp
    import numpy as np

    results = {"jax_version": jax.__version__}
    for name, workload in dump.items():
        networks = workload["networks"]
        inputs = networks[0]["inputs"]
        slots, arrays = padded_arrays(plans(networks, inputs), np)
        x_t = np.asarray(workload["x"]).T.copy()
        y = np.asarray(workload["y"])
        expected = np.asarray(workload["float64_mse"])
        cells = {}
        for dtype in ("float32", "float64"):
            nets = {k: jnp.asarray(v.astype(dtype) if v.dtype == np.float64 else v) for k, v in arrays.items()}
            xs, ys = jnp.asarray(x_t.astype(dtype)), jnp.asarray(y.astype(dtype))
            for form in ("gather", "dense"):
                score = scorer(jax, jnp, slots, inputs, form)
                mse = np.asarray(score(nets, xs, ys).block_until_ready(), np.float64)  # compiles
                seconds = median_seconds(lambda: score(nets, xs, ys).block_until_ready(), min_seconds)
                finite = np.isfinite(expected)
                cells[f"{dtype}_{form}"] = {
                    "seconds": seconds,
                    "worst_relative_mse_difference": float(np.max(np.abs(mse[finite] - expected[finite]) /
                                                                  (1 + np.abs(expected[finite])))),
                }
        results[name] = cells
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("dump")
    parser.add_argument("--min-seconds", type=float, default=0.5)
    args = parser.parse_args()
    one_core()
    with open(args.dump) as file:
        dump = json.load(file)
    json.dump(measure(dump, args.min_seconds), sys.stdout)
    print()


if __name__ == "__main__":
    main()

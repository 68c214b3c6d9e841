"""kestrin.set_random_seed: seeded runs repeat bit for bit, unseeded ones never do.

Every run happens in a fresh interpreter, so that this process stays unseeded for the other tests."""
import inspect
import json
import subprocess
import sys

import pytest

import kestrin

# Prints, as JSON texts (floats written exactly), what short runs show. With a seed:
# the run after set_random_seed(seed), its replay in the same process, the run of a
# forked child that seeds itself, and runs under two other seeds.
SCRIPT = r"""
import json, os, sys, tempfile
import numpy as np
import kestrin

x = np.linspace(-1.0, 1.0, 40).reshape(20, 2)
y = x[:, :1] * x[:, 1:]

def fitness(genomes):
    return [float(np.mean((g.predict(x) - y) ** 2)) for g in genomes]

def run():
    wide = kestrin.Model(2, 1, size=40)  # 40 activations from the C library generator
    model = kestrin.Model(2, 1)
    model.compile(loss="mse")
    start = [model.get_nodes(), model.get_connections()]
    history = model.evolve(x, y, pop_size=20, epochs=5, verbose=0)
    other = kestrin.Model(2, 1)
    other.compile(loss="mse")
    func_history = other.func_evolve(fitness, pop_size=20, epochs=5, verbose=0)
    with tempfile.TemporaryDirectory() as folder:
        model.save(os.path.join(folder, "m.kn"))
        with open(os.path.join(folder, "m.kn"), "rb") as file:
            saved = file.read().hex()
    return json.dumps({
        "activations": [node["activation"] for _, node in wide.get_nodes()],
        "start": start, "history": history, "nodes": model.get_nodes(),
        "connections": model.get_connections(), "func_history": func_history,
        "func_nodes": other.get_nodes(), "saved": saved,
    })

def in_forked_child(seed):
    reading, writing = os.pipe()
    pid = os.fork()
    if pid == 0:
        kestrin.set_random_seed(seed)
        os.write(writing, run().encode())
        os._exit(0)
    os.close(writing)
    with os.fdopen(reading, "rb") as pipe:
        text = pipe.read().decode()
    os.waitpid(pid, 0)
    return text

if sys.argv[1] == "none":
    print(json.dumps({"first": run()}))
else:
    seed = int(sys.argv[1])
    kestrin.set_random_seed(seed)
    first = run()
    kestrin.set_random_seed(seed=seed)
    replay = run()
    forked = in_forked_child(np.int64(seed))
    kestrin.set_random_seed(seed + 1)
    other = run()
    kestrin.set_random_seed(seed + 2**64)  # the same low 64 bits
    big = run()
    print(json.dumps({"first": first, "replay": replay, "forked": forked, "other": other, "big": big}))
"""


@pytest.fixture(scope="module")
def runs():
    """Two processes seeded with 7 and two unseeded ones, each pair started together."""
    args = ["7", "7", "none", "none"]
    processes = [
        subprocess.Popen([sys.executable, "-c", SCRIPT, arg], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        for arg in args
    ]
    results = []
    for process in processes:
        out, err = process.communicate(timeout=120)
        assert process.returncode == 0, err.decode()
        results.append(json.loads(out))
    return results


def test_same_seed_gives_the_same_run_in_fresh_processes(runs):
    first, second = runs[0], runs[1]
    assert first["first"] == second["first"]


def test_reseeding_replays_in_process_and_in_a_forked_child(runs):
    seeded = runs[0]
    assert seeded["replay"] == seeded["first"]
    assert seeded["forked"] == seeded["first"]


def differing_parts(a, b):
    a, b = json.loads(a), json.loads(b)
    return sorted(key for key in a if a[key] != b[key])


@pytest.mark.parametrize("other", ["other", "big"])
def test_another_seed_gives_another_run(runs, other):
    assert differing_parts(runs[0]["first"], runs[0][other]) == [
        "activations", "connections", "func_history", "func_nodes", "history", "nodes", "saved", "start"
    ]


def test_unseeded_processes_started_together_differ(runs):
    # The activations come from the C library generator alone: its default seed
    # must differ between processes started in the same second.
    assert "activations" in differing_parts(runs[2]["first"], runs[3]["first"])
    assert "start" in differing_parts(runs[2]["first"], runs[3]["first"])


@pytest.mark.parametrize(
    "seed, error, words",
    [(-1, ValueError, "seed must be >= 0, got -1"), (-(2**70), ValueError, ">= 0"),
     (7.0, TypeError, "seed must be an int, not float"), ("7", TypeError, "not str"), (None, TypeError, "NoneType")],
)
def test_bad_seeds_raise(seed, error, words):
    with pytest.raises(error, match=words):
        kestrin.set_random_seed(seed)


def test_signature():
    assert str(inspect.signature(kestrin.set_random_seed)) == "(seed)"

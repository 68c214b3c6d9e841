# pickle, copy.copy and copy.deepcopy of models, genomes, optimizers and callbacks: what a
# round trip keeps, how copies share, and damaged states. The '.kn' bytes the
# state carries are checked byte for byte in the C++ suite.
import copy
import math
import pickle
import random

import numpy as np
import pytest

import kestrin
from conftest import crafted, snapshot

PROTOCOLS = list(range(2, pickle.HIGHEST_PROTOCOL + 1))
ROUND_TRIPS = [pytest.param(lambda m, p=p: pickle.loads(pickle.dumps(m, protocol=p)), id=f"pickle{p}")
               for p in PROTOCOLS] + [pytest.param(copy.copy, id="copy"), pytest.param(copy.deepcopy, id="deepcopy")]


def state(obj):
    return obj.__reduce__()[2]


def odd_model(tmp_path):
    """Input nodes with biases and activations of their own, a backward flag, -0.0 and NaN."""
    model = crafted(tmp_path, 2, 1, [0.5, -0.0, math.nan, 1e300, -2.0], [1, 4, 2, 0, 3],
                    [(0, 2, 1.5), (1, 3, -0.0), (2, 4, 0.25), (3, 4, -1.0), (0, 4, 2.0), (4, 1, 7.0)])
    model.compile(optimizer=kestrin.optimizers.Alpha(0.3), loss="mae", metrics=["mse", "mape"], monitors=["size"])
    model.size = 99  # a reassigned mirror travels as the node count it mirrors
    return model


@pytest.mark.parametrize("round_trip", ROUND_TRIPS)
def test_round_trip_keeps_network_and_compile_state(tmp_path, round_trip):
    model = odd_model(tmp_path)
    again = round_trip(model)
    assert type(again) is kestrin.Model and again is not model
    before, after = state(model), state(again)
    assert after["network"] == before["network"]  # bit for bit, the input nodes' genes included
    assert {k: v for k, v in after.items() if k != "optimizer"} == {k: v for k, v in before.items() if k != "optimizer"}
    assert type(after["optimizer"]) is kestrin.optimizers.Alpha
    assert state(after["optimizer"]) == {"version": 1, "mutation_rate": 0.3}
    assert again.size == 5
    x = np.random.default_rng(2).normal(size=(6, 2))
    y = np.ones((6, 1))
    np.testing.assert_array_equal(again.predict(x), model.predict(x))
    assert again.evaluate(x, y) == model.evaluate(x, y)


def test_reloaded_model_evolves_without_compile():
    model = kestrin.Model(3, 2, size=6)
    model.compile(loss="mse", metrics=["mae"], monitors=["size"])
    again = pickle.loads(pickle.dumps(model))
    x = np.random.default_rng(3).normal(size=(20, 3))
    history = again.evolve(x, x[:, :2], pop_size=4, epochs=2, verbose=0)
    assert list(history) == ["loss", "mae", "size"] and len(history["loss"]) == 2
    history = again.func_evolve(lambda genomes: [0.0] * len(genomes), pop_size=4, epochs=1, verbose=0)
    assert list(history) == ["loss", "size"]


@pytest.mark.parametrize("round_trip", ROUND_TRIPS)
def test_uncompiled_models_genomes_and_optimizers_round_trip(round_trip):
    for model in (kestrin.Model(2, 1), kestrin.Model(0, 0)):
        again = round_trip(model)
        assert state(again) == state(model)
        with pytest.raises(RuntimeError, match="You must compile your model before evolving"):
            again.evolve(np.zeros((1, 1)), np.zeros((1, 1)))

    genomes = []
    kestrin.Model(2, 1).func_evolve(lambda g: genomes.extend(g) or [0.0] * len(g), pop_size=2, epochs=1, verbose=0)
    x = np.random.default_rng(4).normal(size=(5, 2))
    again = round_trip(genomes[0])
    assert type(again) is kestrin.Genome
    np.testing.assert_array_equal(again.predict(x), genomes[0].predict(x))
    empty = round_trip(kestrin.Genome(3, 2))  # made by the user: no network yet
    assert state(empty) == state(kestrin.Genome(3, 2))
    with pytest.raises(RuntimeError, match="holds no network"):
        empty.predict(x)

    alpha = round_trip(kestrin.optimizers.Alpha(mutation_rate=0.125))
    assert type(alpha) is kestrin.optimizers.Alpha and state(alpha)["mutation_rate"] == 0.125


class Tagged(kestrin.Model):
    def describe(self):
        return f"{self.tag[0]} with {self.size} nodes"


class TaggedAlpha(kestrin.optimizers.Alpha):
    pass


def test_subclasses_travel_as_their_class_with_their_attributes():
    model = Tagged(2, 1)
    model.tag = ["a"]
    model.me = model
    model.compile(optimizer=TaggedAlpha(0.2), loss="mse")
    again = pickle.loads(pickle.dumps(model))
    assert type(again) is Tagged and again.describe() == "a with 3 nodes"
    assert again.me is again and type(state(again)["optimizer"]) is TaggedAlpha

    shallow, deep = copy.copy(model), copy.deepcopy(model)
    assert shallow.tag is model.tag and state(shallow)["optimizer"] is state(model)["optimizer"]
    assert deep.tag == model.tag and deep.tag is not model.tag and deep.me is deep
    assert state(deep)["optimizer"] is not state(model)["optimizer"]
    assert state(state(deep)["optimizer"]) == state(state(model)["optimizer"])

    class Odd(kestrin.Model):
        def __new__(cls, *args):
            return 5

    for make_copy in (copy.copy, copy.deepcopy):
        with pytest.raises(TypeError, match="its __new__ returned a int"):
            make_copy(kestrin.Model.__new__(Odd))


@pytest.mark.parametrize("make_copy", [copy.copy, copy.deepcopy, lambda m: pickle.loads(pickle.dumps(m))])
def test_copies_train_independently(make_copy):
    model = kestrin.Model(2, 1, size=4)
    model.compile(loss="mse")
    other = make_copy(model)
    kept = snapshot(model)
    x = np.random.default_rng(5).normal(size=(30, 2))
    for _ in range(5):
        other.evolve(x, x[:, :1] * x[:, 1:], pop_size=10, epochs=3, verbose=0)
        other.compile(loss="mae")
        if snapshot(other) != kept:
            break
    assert snapshot(other) != kept
    assert snapshot(model) == kept and state(model)["metric_ids"] == (0,)


def test_same_seed_same_run_for_a_copy():
    model = kestrin.Model(2, 1, size=5)
    model.compile(loss="mse", monitors=["size"])
    x = np.random.default_rng(6).normal(size=(25, 2))
    histories = []
    for candidate in (pickle.loads(pickle.dumps(model)), copy.deepcopy(model), model):
        kestrin.set_random_seed(11)
        histories.append((candidate.evolve(x, x[:, :1], pop_size=6, epochs=3, verbose=0), candidate.get_connections()))
    assert histories[0] == histories[1] == histories[2]


def damaged_states(good):
    def edit(**changes):
        return {**good, **changes}

    without = {k: v for k, v in good.items() if k != "size"}
    return [
        (None, "must be a dict"), ([("version", 1)], "must be a dict"), ({1: 2, **good}, "keys must be str"),
        ({}, "'version' is missing"), (edit(version=2), "format version 2 is not known"),
        (edit(version="1"), "'version' must be an int"), (edit(version=2**70), "beyond 64 bits"),
        (without, "'size' is missing"), (edit(spare=0), "'spare' is not a field"),
        (edit(inputs=2.0), "'inputs' must be an int"), (edit(size=True), "'size' must be an int"),
        (edit(outputs=2**31), "outside the 32-bit range"), (edit(compiled=1), "'compiled' must be a bool"),
        (edit(network=bytearray(good["network"])), "'network' must be bytes"),
        (edit(network=good["network"][:-3]), "partial connection record"),
        (edit(network=good["network"][:20]), "before the end of its 5 biases"),
        (edit(network=b"\x05\0\0\0\x09\0\0\0\x01\0\0\0"), "smaller than inputs \\+ outputs"),
        (edit(network=good["network"] + b"\x09\0\0\0\0\0\0\0" + bytes(8)), "joins node 9 to node 0, outside 0..4"),
        (edit(inputs=3), "its network has 2 inputs and 1 outputs, the model 3 and 1"),
        (edit(size=1000), "'size' is 1000 but its network has 5 nodes"), (edit(size=-7), "'size' is -7"),
        (edit(metric_ids=(0, 14)), "'metric_ids' must hold ids from 0 to 13; item 1"),
        (edit(metric_ids=[0, "mse"]), "item 1"), (edit(metric_ids={0}), "must be a tuple of ints"),
        (edit(monitor_ids=(1,)), "'monitor_ids' must hold ids from 0 to 0"),
        (edit(metric_ids=()), "a loss but no loss id"), (edit(optimizer=None), "compiled but has no optimizer"),
        (edit(optimizer="alpha"), "'optimizer' must be None or an optimizer, not str"),
        (edit(attributes=[("tag", 1)]), "'attributes' must be a dict"),
    ]


def test_damaged_states_raise_value_error_and_change_nothing(tmp_path):
    good = state(odd_model(tmp_path))
    model = kestrin.Model(3, 2, size=7)
    model.compile(loss="mse")
    kept, kept_state = snapshot(model), state(model)
    for bad, words in damaged_states(good):
        with pytest.raises(ValueError, match=words):
            model.__setstate__(bad)
        assert snapshot(model) == kept and state(model) == kept_state
    with pytest.raises(ValueError, match="pickled state of kestrin.Genome"):
        kestrin.Genome(2, 1).__setstate__({"version": 1, "inputs": 2, "outputs": 1, "network": b"\0" * 13})
    network = kestrin.Model(2, 1).__reduce__()[2]["network"]
    genome_state = {"version": 1, "inputs": 2, "outputs": 1, "network": network}
    kestrin.Genome(2, 1).__setstate__(genome_state)
    for field, value, words in [("inputs", -5, "'inputs' must not be negative"),
                                ("outputs", 2**31 - 1, "the genome 2 and 2147483647")]:
        with pytest.raises(ValueError, match=words):
            kestrin.Genome(2, 1).__setstate__({**genome_state, field: value})
    with pytest.raises(ValueError, match="'mutation_rate' must be a float"):
        kestrin.optimizers.Alpha().__setstate__({"version": 1, "mutation_rate": "0.5"})
    with pytest.raises(ValueError, match="format version 0"):
        pickle.loads(pickle.dumps(kestrin.Genome(1, 1)).replace(b"version\x94K\x01", b"version\x94K\x00"))


def test_random_damage_to_pickled_models_never_crashes():
    model = kestrin.Model(3, 2, size=9)
    model.compile(loss="mse")
    data = pickle.dumps(model)
    rng = random.Random(20261209)
    outcomes = set()
    for _ in range(400):
        damaged = bytearray(data)
        for _ in range(rng.randint(1, 3)):
            damaged[rng.randrange(len(damaged))] = rng.randrange(256)
        try:
            pickle.loads(bytes(damaged))
            outcomes.add("loaded")
        except ValueError:
            outcomes.add("refused")
        except Exception:  # noqa: BLE001 - pickle's own errors for damaged opcodes
            outcomes.add("pickle")
    assert {"loaded", "refused"} <= outcomes


# ---- callbacks ----------------------------------------------------------------

STOPPING_FIELDS = ("monitor", "min_delta", "patience", "baseline", "restore_best_weights", "wait", "best",
                   "best_epoch", "stopped_epoch")
CHECKPOINT_FIELDS = ("filepath", "monitor", "save_best_only", "best")


def fields(callback, names):
    return tuple(getattr(callback, name) for name in names)


def trained_callbacks(tmp_path, stopping, checkpoint):
    model = kestrin.Model(2, 1, size=4)
    model.compile(loss="mse")
    x = np.random.default_rng(7).normal(size=(20, 2))
    model.evolve(x, x[:, :1], pop_size=6, epochs=4, verbose=0, callbacks=[stopping, checkpoint])
    return model


@pytest.mark.parametrize("round_trip", ROUND_TRIPS)
def test_callbacks_round_trip_settings_and_progress(tmp_path, round_trip):
    from kestrin.callbacks import EarlyStopping, ModelCheckpoint

    stopping = EarlyStopping("loss", min_delta=1e9, patience=1, baseline=-0.5, restore_best_weights=True)
    checkpoint = ModelCheckpoint(tmp_path / "{epoch}.kn", save_best_only=True)
    trained_callbacks(tmp_path, stopping, checkpoint)
    assert stopping.best is not None and stopping.stopped_epoch > 0 and checkpoint.best is not None
    for callback, names in [(stopping, STOPPING_FIELDS), (checkpoint, CHECKPOINT_FIELDS),
                            (EarlyStopping(), STOPPING_FIELDS), (ModelCheckpoint("m.kn"), CHECKPOINT_FIELDS)]:
        again = round_trip(callback)
        assert type(again) is type(callback) and again is not callback
        assert fields(again, names) == fields(callback, names) and repr(again) == repr(callback)


def test_callback_copies_train_independently(tmp_path):
    from kestrin.callbacks import EarlyStopping, ModelCheckpoint

    stopping, checkpoint = EarlyStopping(patience=5), ModelCheckpoint(tmp_path / "a{epoch}.kn", save_best_only=True)
    stopping_copy, checkpoint_copy = copy.deepcopy(stopping), copy.copy(checkpoint)
    trained_callbacks(tmp_path, stopping_copy, checkpoint_copy)
    assert stopping_copy.best is not None and checkpoint_copy.best is not None
    assert (stopping.best, stopping.wait, checkpoint.best) == (None, 0, None)
    # The best saved travels: a checkpoint saves only what beats it.
    beaten = ModelCheckpoint(tmp_path / "b{epoch}.kn", save_best_only=True)
    beaten.__setstate__({**state(beaten), "best": -1.0})
    trained_callbacks(tmp_path, EarlyStopping(), pickle.loads(pickle.dumps(beaten)))
    assert not list(tmp_path.glob("b*.kn")) and beaten.best == -1.0


def test_damaged_callback_states_raise_value_error_and_change_nothing():
    from kestrin.callbacks import EarlyStopping, ModelCheckpoint

    stopping, checkpoint = EarlyStopping("mae", 0.5, 3, 1.0), ModelCheckpoint("m-{epoch}.kn", "loss", True)
    for callback, names, damage in [
        (stopping, STOPPING_FIELDS, [
            ({"version": 2}, "format version 2 is not known"), ({"monitor": None}, "'monitor' must be a str"),
            ({"baseline": "1"}, "'baseline' must be a float or None"), ({"patience": 1.5}, "'patience' must be an int"),
            ({"min_delta": -1.0}, "'min_delta' must not be negative"), ({"wait": -1}, "'wait' must not be negative"),
            ({"kept": b""}, "'kept' is not a field"), ({"attributes": {"a": 1}}, "has no __dict__")]),
        (checkpoint, CHECKPOINT_FIELDS, [
            ({"filepath": b"m.kn"}, "'filepath' must be a str"), ({"save_best_only": 1}, "must be a bool"),
            ({"best": 0}, "'best' must be a float or None")]),
    ]:
        good, kept = state(callback), fields(callback, names)
        for changes, words in damage:
            with pytest.raises(ValueError, match=f"pickled state of kestrin.callbacks.*{words}"):
                callback.__setstate__({**good, **changes})
            assert fields(callback, names) == kept
        without = {k: v for k, v in good.items() if k != "monitor"}
        with pytest.raises(ValueError, match="'monitor' is missing"):
            callback.__setstate__(without)
    # What __new__ makes before __setstate__ fills it: training refuses it before anything runs.
    model = kestrin.Model(2, 1)
    model.compile(loss="mse")
    kept = snapshot(model)
    for blank in (EarlyStopping.__new__(EarlyStopping), ModelCheckpoint.__new__(ModelCheckpoint)):
        with pytest.raises(ValueError, match=r"callbacks\[1\] is a kestrin.callbacks.\w+ that __init__ has not"):
            model.evolve(np.zeros((3, 2)), np.zeros((3, 1)), pop_size=2, epochs=1, verbose=0,
                         callbacks=[EarlyStopping(), blank])
        with pytest.raises(ValueError, match="must be a str, not NoneType"):
            copy.copy(blank)
    assert snapshot(model) == kept

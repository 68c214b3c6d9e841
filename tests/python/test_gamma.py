import pickle

import numpy as np
import pytest

import kestrin
from kestrin.optimizers import Gamma

XOR_X = np.array([[0, 0], [0, 1], [1, 0], [1, 1]], dtype=float)
XOR_Y = np.array([[0], [1], [1], [0]], dtype=float)


@pytest.mark.parametrize(
    "knobs",
    [{"step_size": 0.0}, {"step_size": float("nan")}, {"hidden": -1}, {"refine_hidden": -1}, {"grow_patience": -1},
     {"refine_grow_patience": -1},
     {"max_hidden": -3}, {"separable_above": -1}, {"refine_passes": -1}, {"refine_step_size": 0.0},
     {"weight_decay": -1.0}, {"max_weight_decay": float("inf")}],
)
def test_bad_knobs_are_refused(knobs):
    with pytest.raises(ValueError, match=next(iter(knobs))):
        Gamma(**knobs)


def test_knobs_are_keywords_with_a_signature_and_shown_by_repr():
    with pytest.raises(TypeError):
        Gamma(0.5)
    assert Gamma.__text_signature__ == ("(*, step_size=1.0, hidden=8, grow_patience=0, max_hidden=32, "
                                        "separable_above=200, refine_passes=100, refine_step_size=0.25, "
                                        "refine_hidden=16, refine_grow_patience=60, weight_decay=0.0, "
                                        "max_weight_decay=16.0, hold_out=True)")
    gamma = Gamma(step_size=0.25, hidden=2)
    assert (gamma.step_size, gamma.hidden, gamma.max_hidden) == (0.25, 2, 32)
    assert (Gamma().step_size, Gamma().hidden, Gamma().refine_hidden, Gamma().refine_passes) == (1.0, 8, 16, 100)
    assert repr(gamma) == ("Gamma(step_size=0.25, hidden=2, grow_patience=0, max_hidden=32, separable_above=200, "
                           "refine_passes=100, refine_step_size=0.25, refine_hidden=16, refine_grow_patience=60, "
                           "weight_decay=0.0, max_weight_decay=16.0, hold_out=True)")
    assert repr(Gamma()) == repr(eval(repr(Gamma()), {"Gamma": Gamma}))


def test_pickles_with_its_knobs_and_inside_a_model():
    gamma = Gamma(step_size=0.125, grow_patience=0)
    copy = pickle.loads(pickle.dumps(gamma))
    assert type(copy) is Gamma and repr(copy) == repr(gamma)
    state = gamma.__reduce__()[2]
    assert state["version"] == 1 and state["step_size"] == 0.125
    for damaged in [{**state, "hidden": -1}, {**state, "version": 2}, {**state, "spare": 1}, {**state, "hidden": 2.0}]:
        before = repr(copy)
        with pytest.raises(ValueError):
            copy.__setstate__(damaged)
        assert repr(copy) == before
    model = kestrin.Model(2, 1)
    model.compile(optimizer=gamma, loss="mse")
    restored = pickle.loads(pickle.dumps(model))
    assert repr(restored.__reduce__()[2]["optimizer"]) == repr(gamma)
    restored.evolve(XOR_X, XOR_Y, pop_size=4, epochs=1, verbose=0)


@pytest.mark.parametrize("optimizer", ["gamma", Gamma()])
def test_compile_selects_gamma_and_evolve_learns_xor_on_its_own_topology(optimizer):
    model = kestrin.Model(2, 1)
    model.compile(optimizer=optimizer, loss="mse")
    history = model.evolve(XOR_X, XOR_Y, pop_size=10, epochs=150, verbose=0)
    assert history["loss"][-1] < 0.01
    assert np.array_equal(model.predict(XOR_X) > 0.5, XOR_Y > 0.5)
    assert model.size >= 2 + 16 + 1  # the built topology, grown or not


def test_the_start_size_follows_the_gradient_steps():
    sizes = []
    for gamma in (Gamma(), Gamma(refine_passes=0), Gamma(hidden=3, refine_hidden=5, grow_patience=0)):
        model = kestrin.Model(2, 1)
        model.compile(optimizer=gamma, loss="mse")
        model.evolve(XOR_X, XOR_Y, pop_size=4, epochs=1, verbose=0)
        evolved = model.size
        model = kestrin.Model(2, 1)
        model.compile(optimizer=gamma)
        model.func_evolve(lambda gs: [0.0] * len(gs), pop_size=4, epochs=1, verbose=0)
        sizes.append((evolved, model.size))
    assert sizes == [(19, 11), (11, 11), (8, 6)]


def test_where_samples_search_alone_growth_waits_for_grow_patience():
    def stalled(genomes):  # never improves by 0.1%, never flat
        return [1.0 + 1e-6 * float(np.tanh(np.sum(g.predict(XOR_X) ** 2))) for g in genomes]

    sizes = []
    for gamma in (Gamma(hidden=2), Gamma(hidden=2, grow_patience=1), Gamma(hidden=2, refine_grow_patience=1)):
        kestrin.set_random_seed(1)
        model = kestrin.Model(2, 1)
        model.compile(optimizer=gamma)
        model.func_evolve(stalled, pop_size=6, epochs=60, verbose=0)
        sizes.append(model.size)
    assert sizes == [5, 6, 5]


def test_a_model_with_hidden_nodes_keeps_its_structure_and_starts_from_its_weights():
    model = kestrin.Model(2, 1, size=6)
    model.compile(optimizer=Gamma(grow_patience=0), loss="mse")
    before = model.evaluate(XOR_X, XOR_Y)
    history = model.evolve(XOR_X, XOR_Y, pop_size=6, epochs=20, verbose=0)
    assert model.size == 6
    assert history["loss"][0] <= before[0]


def test_func_evolve_hands_two_candidates_per_member():
    model = kestrin.Model(2, 1)
    model.compile(optimizer="gamma")
    calls = []

    def train(genomes):
        calls.append(len(genomes))
        return [float(np.mean((g.predict(XOR_X) - 0.3) ** 2)) for g in genomes]

    history = model.func_evolve(train, pop_size=6, epochs=80, verbose=0)
    assert calls == [12] * 80
    # The best network is scored again every epoch: on a fixed fitness the best loss never rises.
    assert history["loss"][-1] < 1e-2
    assert all(b <= a for a, b in zip(history["loss"], history["loss"][1:]))


def test_a_seeded_run_replays_with_any_worker_count():
    rng = np.random.default_rng(0)
    x = rng.normal(size=(300, 3))
    y = np.sin(x[:, :1]) * x[:, 1:2]

    def run(workers):
        kestrin.set_random_seed(12)
        model = kestrin.Model(3, 1)
        model.compile(optimizer=Gamma(refine_grow_patience=1), loss="mse")
        history = model.evolve(x, y, pop_size=6, epochs=40, verbose=0, workers=workers)
        return history["loss"], model.predict(x)

    loss1, pred1 = run(1)
    loss2, pred2 = run(2)
    assert loss1 == loss2 and np.array_equal(pred1, pred2)


def test_gradient_passes_drive_evolve_and_are_ignored_by_func_evolve():
    rng = np.random.default_rng(3)
    x = rng.uniform(-2, 2, size=(200, 2))
    y = np.sin(x[:, :1]) * x[:, 1:2]
    losses, spent = {}, {}
    for passes in (0, 50):
        kestrin.set_random_seed(5)
        model = kestrin.Model(2, 1)
        model.compile(optimizer=Gamma(refine_passes=passes), loss="mse")
        seen = []

        class Watch:  # the count grows epoch by epoch, within each epoch's budget
            def on_epoch_end(self, epoch, logs):
                seen.append(model.gradient_passes)

        losses[passes] = model.evolve(x, y, pop_size=10, epochs=15, verbose=0, callbacks=[Watch()])["loss"][-1]
        spent[passes] = seen
        assert model.gradient_passes == seen[-1]
    assert losses[50] < 0.2 * losses[0]
    assert spent[0] == [0] * 15
    steps = np.diff([0] + spent[50])
    assert steps.min() >= 1 and steps.max() <= 50

    def fitness(genomes):
        return [float(np.mean((g.predict(XOR_X) - XOR_Y) ** 2)) for g in genomes]

    histories = []
    for gamma in (Gamma(), Gamma(refine_passes=0, refine_step_size=0.1, refine_hidden=3, weight_decay=5.0,
                                 hold_out=False)):
        kestrin.set_random_seed(5)
        model = kestrin.Model(2, 1)
        model.compile(optimizer=gamma)
        histories.append(model.func_evolve(fitness, pop_size=6, epochs=5, verbose=0)["loss"])
        assert model.gradient_passes == 0
    assert histories[0] == histories[1]


def test_a_state_from_before_gradient_passes_keeps_training_without_them():
    state = Gamma().__reduce__()[2]
    old = {k: v for k, v in state.items()
           if k not in ("refine_passes", "refine_step_size", "weight_decay", "max_weight_decay")}
    gamma = Gamma()
    gamma.__setstate__(old)
    assert (gamma.refine_passes, gamma.refine_step_size, gamma.weight_decay) == (0, 0.25, 0.0)
    # Nor did a fixed weight penalty rise with the held-out rows.
    assert gamma.max_weight_decay == 0.0 and Gamma().max_weight_decay == 16.0
    # One start size served both loops before there were two.
    # The same for the growth patience.
    gamma.__setstate__({k: v for k, v in {**state, "hidden": 5, "grow_patience": 7}.items()
                        if k not in ("refine_hidden", "refine_grow_patience")})
    assert (gamma.hidden, gamma.refine_hidden, gamma.grow_patience, gamma.refine_grow_patience) == (5, 5, 7, 7)

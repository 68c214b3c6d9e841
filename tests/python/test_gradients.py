"""Model.gradients and Genome.gradients: the loss and its derivatives in every bias and weight, against JAX's
automatic differentiation of the same network exported to Keras; and Beta's refinement by them."""

import pickle

import numpy as np
import pytest

import kestrin
from conftest import crafted, snapshot
from kestrin.optimizers import Beta

def _lse(p):
    import jax

    return jax.nn.logsumexp(p, axis=1)


def _softplus(p):
    import jax

    return jax.nn.softplus(p)


# The losses as Keras computes them from logits, on JAX arrays.
LOSSES = {
    "mse": lambda y, p: ((y - p) ** 2).mean(),
    "mae": lambda y, p: abs(y - p).mean(),
    "mape": lambda y, p: (abs(y - p) * 100 / (abs(y) + 1e-10)).mean(),
    "binary_crossentropy": lambda y, p: (_softplus(p) - y * p).mean(),
    "categorical_crossentropy": lambda y, p: (y * (_lse(p)[:, None] - p)).sum(axis=1).mean(),
    "sparse_categorical_crossentropy": lambda y, p: (_lse(p) - p[np.arange(len(y)), y[:, 0].astype(int)]).mean(),
}


def dataset(inputs, outputs, rows=40, seed=5, loss="mse"):
    rng = np.random.default_rng(seed)
    if loss == "binary_crossentropy":
        y = rng.integers(0, 2, (rows, outputs)).astype(float)
    elif loss == "categorical_crossentropy":
        y = rng.dirichlet(np.ones(outputs), rows)
    elif loss == "sparse_categorical_crossentropy":
        y = rng.integers(0, outputs, (rows, 1)).astype(float)
    else:
        y = rng.uniform(0.5, 2.0, (rows, outputs)) * rng.choice([-1.0, 1.0], (rows, outputs))
    return rng.normal(size=(rows, inputs)), y


def trained(seed=2, inputs=3, outputs=2, size=9, loss="mse"):
    """A small evolved network: varied activations, weights and structure."""
    kestrin.set_random_seed(seed)
    model = kestrin.Model(inputs, outputs, size=size)
    model.compile(optimizer="beta", loss=loss)
    model.evolve(*dataset(inputs, outputs, loss=loss), pop_size=10, epochs=5, verbose=0)
    return model


@pytest.mark.keras
@pytest.mark.parametrize("loss", sorted(LOSSES))
def test_gradients_match_jax_autodiff_of_the_exported_network(loss):
    jax = pytest.importorskip("jax")
    keras = pytest.importorskip("keras")
    if keras.backend.backend() != "jax":
        pytest.skip("Keras runs another backend")
    model = trained(loss=loss)
    x, y = dataset(3, 2, seed=8, loss=loss)
    value, biases, weights = model.gradients(x, y)
    assert value == model.evaluate(x, y)[0]
    assert biases.shape == (model.size,) and weights.shape == (len(model.get_connections()),)

    exported = model.to_keras()
    trainable = [v.value for v in exported.trainable_variables]
    fixed = [v.value for v in exported.non_trainable_variables]

    def keras_loss(values):
        prediction, _ = exported.stateless_call(values, fixed, x.astype("float32"))
        return LOSSES[loss](y.astype("float32"), prediction)

    slopes = jax.grad(keras_loss)(trainable)
    # Node layer i's kernel rows are its sources in ascending order; inputs pass through.
    index = {id(v): k for k, v in enumerate(exported.trainable_variables)}
    expected_biases = np.zeros(model.size)
    expected_weights = {}
    for layer in exported.layers:
        if not layer.name.startswith("node") or int(layer.name[4:]) < model.inputs:
            continue
        i = int(layer.name[4:])
        kernel, bias = (np.asarray(slopes[index[id(v)]], dtype=float) for v in layer.trainable_variables)
        expected_biases[i] = bias[0]
        sources = sorted(f for f, t, _ in model.get_connections() if t == i and f < i)
        expected_weights.update({(f, i): kernel[r, 0] for r, f in enumerate(sources)})
    expected = [expected_weights.get((f, t), 0.0) for f, t, _ in model.get_connections()]
    scale = max(np.abs(biases).max(), np.abs(weights).max())
    np.testing.assert_allclose(biases, expected_biases, rtol=1e-3, atol=1e-4 * scale)
    np.testing.assert_allclose(weights, expected, rtol=1e-3, atol=1e-4 * scale)


def test_gradients_check_like_evaluate_and_change_nothing():
    model = kestrin.Model(2, 1)
    x, y = dataset(2, 1)
    with pytest.raises(RuntimeError, match="compile your model with a loss"):
        model.gradients(x, y)
    model.compile(metrics=["mae"])  # metrics alone: no loss to differentiate
    with pytest.raises(RuntimeError, match="compile your model with a loss"):
        model.gradients(x, y)
    model.compile(loss="mae")
    before = snapshot(model)
    for bad_x, bad_y in [(x[:, :1], y), (x, y[:5]), (x, np.hstack([y, y]))]:
        with pytest.raises(ValueError) as error:
            model.gradients(bad_x, bad_y)
        with pytest.raises(ValueError) as evaluated:
            model.evaluate(bad_x, bad_y)
        assert str(error.value) == str(evaluated.value)
    assert model.gradients(x, y, workers=3)[0] == model.gradients(x, y)[0]
    with pytest.raises(ValueError, match="workers"):
        model.gradients(x, y, workers=0)
    assert snapshot(model) == before


def test_genome_gradients_take_a_loss_name_and_equal_the_models():
    model = trained()
    data = {loss: dataset(3, 2, seed=9, loss=loss) for loss in LOSSES}
    x, y = data["mse"]
    expected = {}
    for loss in LOSSES:
        model.compile(optimizer="beta", loss=loss)
        expected[loss] = model.gradients(*data[loss])
    plain = kestrin.Genome(3, 2)
    with pytest.raises(RuntimeError, match="holds no network"):
        plain.gradients(x, y)
    with pytest.raises(ValueError, match="Loss 'huber' not known; gradients take 'mse', 'mae', 'mape', 'binary_crossentropy'"):
        plain.gradients(x, y, loss="huber")
    genomes = []

    def fitness(population):
        genomes.extend(population)
        return [0.0] * len(population)

    # Beta hands its parents first, and member 0 of the first generation is the model's network.
    model.func_evolve(fitness, pop_size=2, epochs=1, verbose=0)
    for loss, (value, biases, weights) in expected.items():
        got = genomes[0].gradients(*data[loss], loss=loss)
        assert got[0] == value
        np.testing.assert_array_equal(got[1], biases)
        np.testing.assert_array_equal(got[2], weights)


def test_set_genes_writes_back_in_gradient_order_and_refuses_other_lengths():
    model = trained()
    nodes, links = model.get_nodes(), model.get_connections()
    biases = np.arange(len(nodes), dtype=float)
    weights = -np.arange(len(links), dtype=float)
    before = snapshot(model)
    with pytest.raises(ValueError, match=r"weights has shape \(3,\) but the model has"):
        model.set_genes(biases, weights[:3])
    with pytest.raises(ValueError, match="biases has shape"):
        model.set_genes(biases[:, None], weights)
    assert snapshot(model) == before
    model.set_genes(biases, weights)
    assert [n["bias"] for _, n in model.get_nodes()] == list(biases)
    assert [(f, t, c["weight"]) for f, t, c in model.get_connections()] == [
        (f, t, w) for (f, t, _), w in zip(links, weights)]


def test_scipy_minimize_fits_a_network_through_gradients_and_set_genes(tmp_path):
    optimize = pytest.importorskip("scipy.optimize")
    # Two tanh hidden nodes and a linear output, all forward connections.
    records = [(f, t, 0.1) for f in range(4) for t in range(max(f + 1, 2), 5)]
    model = crafted(tmp_path, 2, 1, [0.0] * 5, [3, 3, 1, 1, 3], records)
    model.compile(loss="mse")
    x = np.random.default_rng(0).uniform(-1, 1, size=(128, 2))
    y = np.tanh(x @ [[1.5], [-2.0]] + 0.25) - 0.5 * x[:, :1]

    def loss_and_slopes(genes):
        model.set_genes(genes[:5], genes[5:])
        loss, biases, weights = model.gradients(x, y)
        return loss, np.concatenate([biases, weights])

    start = np.random.default_rng(1).normal(0.0, 0.5, 5 + len(records))
    before = loss_and_slopes(start)[0]
    result = optimize.minimize(loss_and_slopes, start, jac=True, method="L-BFGS-B", options={"maxiter": 200})
    assert result.fun < 1e-4 * before


def sine_data(seed=3):
    x = np.random.default_rng(seed).uniform(-2, 2, size=(200, 1))
    return x, np.sin(2 * x)


def evolved(beta, seed=6, **fit):
    kestrin.set_random_seed(seed)
    model = kestrin.Model(1, 1, size=6)
    model.compile(optimizer=beta, loss="mse")
    history = model.evolve(*sine_data(), pop_size=8, epochs=15, verbose=0, **fit)
    return model, history


def test_refined_children_keep_their_genes_and_fit_better_for_the_same_generations():
    _, plain = evolved(Beta())
    refined_model, refined = evolved(Beta(refine_steps=5, refine_rate=0.05))
    assert refined["loss"][-1] < 0.5 * plain["loss"][-1]
    # Lamarckian: the returned network's genes are the refined ones, whose loss the history reports.
    assert refined_model.evaluate(*sine_data())[0] == refined["loss"][-1]
    # Only the best child of each island: another run, same settings otherwise; any worker count, the same bits.
    best_each, _ = evolved(Beta(refine_steps=5, refine_rate=0.05, refine_best=1))
    again, _ = evolved(Beta(refine_steps=5, refine_rate=0.05, refine_best=1), workers=2)
    assert snapshot(best_each) == snapshot(again)
    # L-BFGS iterations instead of Adam steps; the knobs pickle.
    lbfgs, history = evolved(Beta(refine_steps=5, refine_method="lbfgs"))
    assert history["loss"][-1] < 0.5 * plain["loss"][-1]
    beta = Beta(refine_steps=5, refine_rate=0.05, refine_best=2, refine_method="lbfgs")
    assert repr(pickle.loads(pickle.dumps(beta))) == repr(beta) and beta.refine_method == "lbfgs"


def test_refinement_is_ignored_by_func_evolve():
    def fitness(genomes):
        x, y = sine_data()
        return [float(((g.predict(x) - y) ** 2).mean()) for g in genomes]

    histories = []
    for beta in (Beta(), Beta(refine_steps=5)):
        kestrin.set_random_seed(2)
        model = kestrin.Model(1, 1, size=4)
        model.compile(optimizer=beta)
        histories.append(model.func_evolve(fitness, pop_size=4, epochs=3, verbose=0))
    assert histories[0] == histories[1]

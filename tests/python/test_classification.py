"""Cross-entropy losses, accuracy metrics, and evolve's validation_split, sample_weight and class_weight."""

import struct

import numpy as np
import pytest

import kestrin

RNG = np.random.default_rng(5)
X = RNG.normal(size=(40, 3))
LABELS = (X[:, 0] + X[:, 1] > 0).astype(int) + (X[:, 2] > 0.5).astype(int)  # classes 0, 1, 2
ONE_HOT = np.eye(3)[LABELS]


def log_softmax(z):
    shifted = z - z.max(axis=1, keepdims=True)
    return shifted - np.log(np.exp(shifted).sum(axis=1, keepdims=True))


def trained(loss, metrics=(), outputs=3, **evolve):
    """A seeded model after two generations, and its history."""
    kestrin.set_random_seed(3)
    model = kestrin.Model(3, outputs, size=8)
    model.compile(loss=loss, metrics=list(metrics))
    history = model.evolve(X, evolve.pop("y", ONE_HOT), pop_size=6, epochs=2, verbose=0, **evolve)
    return model, history


def test_cross_entropies_score_logits_as_keras_from_logits():
    model, _ = trained("categorical_crossentropy")
    logits = model.predict(X)
    categorical = float(np.mean(-(ONE_HOT * log_softmax(logits)).sum(axis=1)))
    binary_targets = ONE_HOT
    binary = float(np.mean(np.maximum(logits, 0) - logits * binary_targets + np.log1p(np.exp(-np.abs(logits)))))
    accuracy = float(np.mean(np.argmax(logits, axis=1) == LABELS))
    assert model.evaluate(X, ONE_HOT) == pytest.approx([categorical], rel=1e-12)
    model.compile(loss="binary_crossentropy", metrics=["accuracy", "categorical_accuracy"])
    assert model.evaluate(X, ONE_HOT) == pytest.approx([binary, np.mean((logits > 0) == ONE_HOT), accuracy], rel=1e-12)
    model.compile(loss="sparse_categorical_crossentropy", metrics=["accuracy"])
    for labels in (LABELS, LABELS.reshape(-1, 1), LABELS.astype(float)):
        assert model.evaluate(X, labels) == pytest.approx([categorical, accuracy], rel=1e-12)
    # Huge logits stay finite (log-sum-exp, softplus).
    assert np.isfinite(model.evaluate(X * 1e6, LABELS)).all()


@pytest.mark.parametrize("loss, outputs, resolved", [
    ("binary_crossentropy", 3, "binary_accuracy"),
    ("mse", 1, "binary_accuracy"),
    ("sparse_categorical_crossentropy", 3, "sparse_categorical_accuracy"),
    ("categorical_crossentropy", 3, "categorical_accuracy"),
    ("mse", 3, "categorical_accuracy"),
])
def test_accuracy_resolves_as_keras_does_under_its_own_key(loss, outputs, resolved):
    y = LABELS if loss.startswith("sparse") else (ONE_HOT if outputs == 3 else (LABELS > 0).reshape(-1, 1) * 1.0)
    model, history = trained(loss, ["accuracy", resolved], outputs=outputs, y=y, validation_split=0.25)
    assert list(history) == ["loss", "accuracy", resolved, "val_loss", "val_accuracy", f"val_{resolved}"]
    assert history["accuracy"] == history[resolved]
    scores = model.evaluate(X, y)
    assert scores[1] == scores[2] and 0.0 <= scores[1] <= 1.0


def test_binary_accuracy_reads_probabilities_but_logits_beside_a_cross_entropy(tmp_path):
    # One linear output equal to the input: the predictions are x itself.
    x = np.array([[0.2], [0.7], [-0.3]])
    y = np.array([[1.0], [1.0], [0.0]])
    model = kestrin.load(str(_linear_identity(tmp_path)))
    model.compile(loss="mse", metrics=["binary_accuracy"])
    assert model.evaluate(x, y)[1] == pytest.approx(2 / 3)  # 0.2 is below 0.5
    model.compile(loss="binary_crossentropy", metrics=["binary_accuracy", "accuracy"])
    assert model.evaluate(x, y)[1:] == [1.0, 1.0]  # 0.2 is a positive logit


def _linear_identity(tmp_path):
    data = struct.pack("<3i", 2, 1, 1) + struct.pack("<2d", 0.0, 0.0) + struct.pack("<2i", 3, 3)
    path = tmp_path / "identity.kn"
    path.write_bytes(data + struct.pack("<iid", 0, 1, 1.0))
    return path


def test_compile_refuses_accuracy_as_a_loss_and_mixed_target_kinds():
    model = kestrin.Model(3, 3)
    with pytest.raises(ValueError, match=r"^'accuracy' is a metric, not a loss"):
        model.compile(loss="accuracy")
    with pytest.raises(ValueError, match="cannot be compiled together"):
        model.compile(loss="sparse_categorical_crossentropy", metrics=["mse"])
    with pytest.raises(ValueError, match="cannot be compiled together"):
        model.compile(loss="categorical_crossentropy", metrics=["sparse_categorical_accuracy"])
    with pytest.raises(ValueError) as raised:
        model.compile(loss="crossentropy")
    assert str(raised.value) == "Loss 'crossentropy' not known.\n"


def test_sparse_targets_are_class_indices_in_range():
    model = kestrin.Model(3, 3)
    model.compile(loss="sparse_categorical_crossentropy")
    for bad, text in [(np.where(LABELS == 2, 3, LABELS), r"Class index 3 in y_train .* the model has 3 outputs"),
                      (LABELS - 0.5, r"Class index -0\.5 in y_train"), (ONE_HOT, "must hold class indices")]:
        with pytest.raises(ValueError, match=text):
            model.evolve(X, bad, pop_size=4, epochs=1, verbose=0)
    with pytest.raises(ValueError, match=r"Class index 7 in y \(sample 0\)"):
        model.evaluate(X[:1], np.array([7]))
    # (n,) and (n, 1) are one target.
    assert trained("sparse_categorical_crossentropy", y=LABELS)[1] == \
        trained("sparse_categorical_crossentropy", y=LABELS.reshape(-1, 1))[1]


def test_validation_split_holds_out_the_last_samples_as_keras_does():
    _, split = trained("categorical_crossentropy", ["accuracy"], validation_split=0.25)
    kestrin.set_random_seed(3)
    model = kestrin.Model(3, 3, size=8)
    model.compile(loss="categorical_crossentropy", metrics=["accuracy"])
    explicit = model.evolve(X[:30], ONE_HOT[:30], pop_size=6, epochs=2, verbose=0,
                            validation_data=(X[30:], ONE_HOT[30:]))
    assert split == explicit
    for bad, text in [(dict(validation_split=0.2, validation_data=(X, ONE_HOT)), "not both"),
                      (dict(validation_split=1.0), r"in \[0, 1\)"), (dict(validation_split=0.99), "leaves no sample")]:
        with pytest.raises(ValueError, match=text):
            model.evolve(X, ONE_HOT, pop_size=4, epochs=1, verbose=0, **bad)


def test_sample_weight_weighs_every_loss_and_metric():
    _, plain = trained("mse", ["mae"])
    assert trained("mse", ["mae"], sample_weight=np.ones(len(X)))[1] == plain
    # Zero weights: exactly as if those samples were left out (one batch, so nothing is shuffled).
    half = np.r_[np.ones(20), np.zeros(20)]
    kestrin.set_random_seed(3)
    model = kestrin.Model(3, 3, size=8)
    model.compile(loss="mse", metrics=["mae"])
    first_half = model.evolve(X[:20], ONE_HOT[:20], pop_size=6, epochs=2, verbose=0)
    assert trained("mse", ["mae"], sample_weight=half)[1] == first_half
    weights = RNG.uniform(0, 2, size=len(X))
    errors = np.abs(model.predict(X) - ONE_HOT).mean(axis=1)
    assert model.evaluate(X, ONE_HOT, sample_weight=weights)[1] == pytest.approx(np.average(errors, weights=weights))
    for bad in (np.ones(3), -np.ones(len(X)), np.full(len(X), np.inf)):
        with pytest.raises(ValueError, match="sample_weight"):
            model.evolve(X, ONE_HOT, pop_size=4, epochs=1, verbose=0, sample_weight=bad)


def test_class_weight_is_a_weight_per_sample_by_its_class():
    by_class = {0: 1.0, 1: 0.5, 2: 3.0}
    _, weighted = trained("categorical_crossentropy", class_weight=by_class)
    assert weighted == trained("categorical_crossentropy", sample_weight=np.array([by_class[c] for c in LABELS]))[1]
    assert weighted == trained("sparse_categorical_crossentropy", y=LABELS, class_weight=by_class)[1]
    model = kestrin.Model(3, 3)
    model.compile(loss="mse")
    with pytest.raises(ValueError, match="class_weight needs a classification loss"):
        model.evolve(X, ONE_HOT, pop_size=4, epochs=1, verbose=0, class_weight=by_class)


@pytest.mark.keras
def test_keras_model_of_a_cross_entropy_model_gives_the_same_logits_and_loss():
    keras = pytest.importorskip("keras")
    model, _ = trained("categorical_crossentropy", ["accuracy"])
    exported = model.to_keras()
    logits = np.asarray(exported.predict(X, verbose=0))
    np.testing.assert_allclose(logits, model.predict(X), rtol=1e-5, atol=1e-6)
    loss = keras.losses.CategoricalCrossentropy(from_logits=True)(ONE_HOT, logits)
    assert float(loss) == pytest.approx(model.evaluate(X, ONE_HOT)[0], rel=1e-5)

"""kestrin.sklearn: scikit-learn's estimator checks, and the tools people use estimators with."""

import pickle

import numpy as np
import pytest

import kestrin

sklearn = pytest.importorskip("sklearn")
from sklearn.base import clone  # noqa: E402
from sklearn.model_selection import GridSearchCV, cross_val_score  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402
from sklearn.preprocessing import StandardScaler  # noqa: E402
from sklearn.utils.estimator_checks import parametrize_with_checks  # noqa: E402

from kestrin.sklearn import KestrinClassifier, KestrinRegressor  # noqa: E402

RNG = np.random.default_rng(2)
X = RNG.normal(size=(60, 4))
SPECIES = np.array(["ant", "bee", "cat"])[(X[:, 0] > 0).astype(int) + (X[:, 1] > 0.5).astype(int)]
QUICK = dict(pop_size=8, epochs=3)


# Every check of the installed scikit-learn passes: none is listed as expected to fail.
@parametrize_with_checks([KestrinRegressor(**QUICK), KestrinClassifier(**QUICK)])
def test_scikit_learn_estimator_checks(estimator, check):
    check(estimator)


def test_labels_of_any_kind_and_probabilities():
    for labels in (SPECIES, (X[:, 0] > 0).astype(int) * 5 + 2):
        model = KestrinClassifier(**QUICK, random_state=0).fit(X, labels)
        assert list(model.classes_) == sorted(set(labels))
        assert set(model.predict(X)) <= set(labels)
        proba = model.predict_proba(X)
        assert proba.shape == (len(X), len(model.classes_))
        np.testing.assert_allclose(proba.sum(axis=1), 1.0)
        assert (model.classes_[proba.argmax(axis=1)] == model.predict(X)).all()


def test_random_state_repeats_a_fit_and_leaves_kestrins_streams_to_themselves():
    def fitted():
        return KestrinClassifier(**QUICK, random_state=4).fit(X, SPECIES).predict_proba(X)

    def next_draws():
        return kestrin.Model(4, 2).get_connections()

    kestrin.set_random_seed(1)
    fitted()
    after_seed_4 = next_draws()
    kestrin.set_random_seed(1)
    KestrinClassifier(**QUICK, random_state=5).fit(X, SPECIES)
    assert next_draws() == after_seed_4  # what follows depends on the stream before the fit only
    np.testing.assert_array_equal(fitted(), fitted())


def test_multi_output_regression_and_sample_weight():
    y = np.c_[X[:, 0], X[:, 1] - X[:, 2]]
    model = KestrinRegressor(**QUICK, random_state=0).fit(X, y)
    assert model.predict(X).shape == (len(X), 2) and model.n_features_in_ == 4
    assert KestrinRegressor(**QUICK, random_state=0).fit(X, y[:, 0]).predict(X).shape == (len(X),)
    ones = KestrinRegressor(**QUICK, random_state=0).fit(X, y, sample_weight=np.ones(len(X)))
    np.testing.assert_array_equal(ones.predict(X), model.predict(X))


def test_pipeline_grid_search_cross_validation_clone_and_pickle():
    pipeline = make_pipeline(StandardScaler(), KestrinClassifier(**QUICK, random_state=0))
    search = GridSearchCV(pipeline, {"kestrinclassifier__loss": ["auto", "mse"]}, cv=2, n_jobs=2).fit(X, SPECIES)
    assert search.best_params_["kestrinclassifier__loss"] in ("auto", "mse")
    scores = cross_val_score(clone(pipeline), X, SPECIES, cv=3)
    assert scores.shape == (3,) and ((0 <= scores) & (scores <= 1)).all()
    restored = pickle.loads(pickle.dumps(search.best_estimator_))
    np.testing.assert_array_equal(restored.predict_proba(X), search.best_estimator_.predict_proba(X))


def test_bad_settings_are_refused_at_fit():
    for estimator, text in [(KestrinClassifier(loss="mape"), "loss must be one of"),
                            (KestrinRegressor(loss="binary_crossentropy"), "loss must be one of"),
                            (KestrinRegressor(optimizer="no such"), "optimizer must be")]:
        with pytest.raises(ValueError, match=text):
            estimator.fit(X, X[:, 0] > 0)
    assert KestrinRegressor(optimizer="beta", optimizer_params={"islands": 2}, **QUICK).fit(X, X[:, 0]).model_

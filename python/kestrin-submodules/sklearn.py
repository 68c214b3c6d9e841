"""scikit-learn estimators that train a kestrin.Model: KestrinRegressor and KestrinClassifier.

They follow scikit-learn's conventions (fit/predict/score, get_params/set_params,
clone, pickle, Pipeline, GridSearchCV, cross_val_score). The constructor arguments
are the model's size, the optimizer ("alpha", "beta" or an optimizer object) with
optimizer_params for its settings, the loss, and evolve's pop_size, epochs,
batch_size and workers, plus random_state and verbose.

random_state=None trains from kestrin's random streams as they are. An int (or a
numpy RandomState, from which one int is drawn per fit) seeds kestrin for the fit
only: the same int gives the same fitted model, and afterwards kestrin's streams
are seeded from a value drawn from them before the fit, so what other code draws
next does not depend on the estimator's seed. kestrin's streams are process-wide:
fit seeded estimators one at a time per process (GridSearchCV's n_jobs uses
processes, which is fine).
"""

import numbers as _numbers

import numpy as _np
from sklearn.base import BaseEstimator as _BaseEstimator
from sklearn.base import ClassifierMixin as _ClassifierMixin
from sklearn.base import RegressorMixin as _RegressorMixin
from sklearn.preprocessing import LabelEncoder as _LabelEncoder
from sklearn.utils import check_random_state as _check_random_state
from sklearn.utils.multiclass import check_classification_targets as _check_classification_targets
from sklearn.utils.validation import _check_sample_weight
from sklearn.utils.validation import check_is_fitted as _check_is_fitted
from sklearn.utils.validation import validate_data as _validate_data

import kestrin as _kestrin

__all__ = ["KestrinRegressor", "KestrinClassifier"]

_REGRESSION_LOSSES = ("mse", "mae", "mape")
_CLASSIFICATION_LOSSES = ("auto", "binary_crossentropy", "categorical_crossentropy",
                          "sparse_categorical_crossentropy", "mse", "mae")


class _Seeded:
    """Seeds kestrin for a block when random_state asks for it, then hands the streams back."""

    def __init__(self, random_state):
        self.seed = None
        if random_state is not None:
            if isinstance(random_state, _numbers.Integral):
                self.seed = int(random_state)
            else:
                self.seed = int(_check_random_state(random_state).randint(0, 2**31 - 1))

    def __enter__(self):
        if self.seed is not None:
            self.resume = _kestrin._derived_seed()
            _kestrin.set_random_seed(self.seed)

    def __exit__(self, *exc):
        if self.seed is not None:
            _kestrin.set_random_seed(self.resume)
        return False


class _KestrinEstimator(_BaseEstimator):
    def __init__(self, size=-1, optimizer="alpha", optimizer_params=None, loss="auto", pop_size=100, epochs=100,
                 batch_size=-1, workers=1, random_state=None, verbose=0):
        self.size = size
        self.optimizer = optimizer
        self.optimizer_params = optimizer_params
        self.loss = loss
        self.pop_size = pop_size
        self.epochs = epochs
        self.batch_size = batch_size
        self.workers = workers
        self.random_state = random_state
        self.verbose = verbose

    def _optimizer(self):
        params = dict(self.optimizer_params or {})
        if isinstance(self.optimizer, str):
            # "alpha" names kestrin.optimizers.Alpha, and so on for every optimizer.
            kind = getattr(_kestrin.optimizers, self.optimizer.capitalize(), None)
            if not self.optimizer.islower() or not isinstance(kind, type):
                raise ValueError(f"optimizer must be the name of one of kestrin.optimizers (such as 'alpha') "
                                 f"or an optimizer, got {self.optimizer!r}.")
            return kind(**params)
        if params:
            raise ValueError("optimizer_params applies to an optimizer given by name only.")
        return self.optimizer

    def _evolve(self, x, targets, outputs, loss, sample_weight):
        with _Seeded(self.random_state):
            model = _kestrin.Model(x.shape[1], outputs, size=self.size)
            model.compile(optimizer=self._optimizer(), loss=loss)
            history = model.evolve(x, targets, pop_size=self.pop_size, batch_size=self.batch_size,
                                   epochs=self.epochs, verbose=self.verbose, workers=self.workers,
                                   sample_weight=sample_weight)
        self.model_ = model
        self.history_ = history

    def _outputs_of(self, x):
        _check_is_fitted(self, "model_")
        x = _validate_data(self, x, reset=False, dtype=_np.float64)
        return self.model_.predict(x, workers=self.workers)


class KestrinRegressor(_RegressorMixin, _KestrinEstimator):
    """A kestrin.Model trained by neuro-evolution as a scikit-learn regressor.

    loss is "mse" (also what "auto" means), "mae" or "mape". A 2-D y trains one output per column.
    """

    def fit(self, X, y, sample_weight=None):
        loss = "mse" if self.loss == "auto" else self.loss
        if loss not in _REGRESSION_LOSSES:
            raise ValueError(f"loss must be one of {_REGRESSION_LOSSES} or 'auto', got {self.loss!r}.")
        x, y = _validate_data(self, X, y, dtype=_np.float64, multi_output=True, y_numeric=True)
        self._y_ndim = y.ndim
        targets = y.reshape(len(y), -1)
        weights = None if sample_weight is None else _check_sample_weight(sample_weight, x, dtype=_np.float64)
        self._evolve(x, targets, targets.shape[1], loss, weights)
        return self

    def predict(self, X):
        outputs = self._outputs_of(X)
        return outputs[:, 0] if self._y_ndim == 1 else outputs

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.target_tags.multi_output = True
        # A few generations in tests rarely reach the scores the checks ask of fitted regressors.
        tags.regressor_tags.poor_score = True
        return tags


def _sigmoid(z):
    return 0.5 * (1.0 + _np.tanh(0.5 * z))


def _softmax(z):
    e = _np.exp(z - z.max(axis=1, keepdims=True))
    return e / e.sum(axis=1, keepdims=True)


class KestrinClassifier(_ClassifierMixin, _KestrinEstimator):
    """A kestrin.Model trained by neuro-evolution as a scikit-learn classifier.

    Labels may be any values scikit-learn accepts (str, int, ...). loss "auto" takes
    binary cross-entropy (one output) for two classes and sparse categorical
    cross-entropy (one output per class) for more. "categorical_crossentropy" and
    "binary_crossentropy" train one output per class (with two classes binary keeps
    one output); "mse" and "mae" regress 0/1 targets the same way. predict_proba is
    the sigmoid or softmax of the outputs (logits), or for mse and mae the clipped
    outputs, normalised.
    """

    def _loss_for(self, classes):
        loss = self.loss
        if loss not in _CLASSIFICATION_LOSSES:
            raise ValueError(f"loss must be one of {_CLASSIFICATION_LOSSES}, got {self.loss!r}.")
        if loss == "auto":
            loss = "binary_crossentropy" if classes == 2 else "sparse_categorical_crossentropy"
        return loss

    def fit(self, X, y, sample_weight=None):
        x, y = _validate_data(self, X, y, dtype=_np.float64)
        _check_classification_targets(y)
        encoder = _LabelEncoder().fit(y)
        self.classes_ = encoder.classes_
        classes = len(self.classes_)
        if classes < 2:
            raise ValueError(f"KestrinClassifier needs samples of at least 2 classes; got 1 class ({self.classes_[0]!r}).")
        index = encoder.transform(y)
        self._loss = self._loss_for(classes)
        if self._loss == "sparse_categorical_crossentropy":
            targets, outputs = index.astype(_np.float64), classes
        elif classes == 2 and self._loss != "categorical_crossentropy":
            targets, outputs = index.astype(_np.float64).reshape(-1, 1), 1
        else:
            targets, outputs = _np.eye(classes)[index], classes
        weights = None if sample_weight is None else _check_sample_weight(sample_weight, x, dtype=_np.float64)
        self._evolve(x, targets, outputs, self._loss, weights)
        return self

    def predict_proba(self, X):
        outputs = self._outputs_of(X)
        if self._loss in ("mse", "mae"):
            if outputs.shape[1] == 1:
                p = _np.clip(outputs[:, 0], 0.0, 1.0)
                return _np.stack([1.0 - p, p], axis=1)
            p = _np.clip(outputs, 0.0, None) + 1e-12
            return p / p.sum(axis=1, keepdims=True)
        if outputs.shape[1] == 1:
            p = _sigmoid(outputs[:, 0])
            return _np.stack([1.0 - p, p], axis=1)
        if self._loss == "binary_crossentropy":
            p = _sigmoid(outputs) + 1e-12
            return p / p.sum(axis=1, keepdims=True)
        return _softmax(outputs)

    def predict(self, X):
        outputs = self._outputs_of(X)
        if outputs.shape[1] == 1:
            threshold = 0.5 if self._loss in ("mse", "mae") else 0.0
            return self.classes_[(outputs[:, 0] > threshold).astype(int)]
        return self.classes_[_np.argmax(outputs, axis=1)]

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        # A few generations in tests rarely reach the accuracy the checks ask of fitted classifiers.
        tags.classifier_tags.poor_score = True
        return tags

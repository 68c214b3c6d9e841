from typing import Any

from typing_extensions import Self

class _KestrinEstimator:
    size: int
    optimizer: Any
    optimizer_params: dict[str, Any] | None
    loss: str
    pop_size: int
    epochs: int
    batch_size: int
    workers: int
    random_state: Any
    verbose: int
    n_features_in_: int
    feature_names_in_: Any
    model_: Any
    history_: dict[str, list[Any]]
    def __init__(
        self,
        size: int = -1,
        optimizer: Any = "alpha",
        optimizer_params: dict[str, Any] | None = None,
        loss: str = "auto",
        pop_size: int = 100,
        epochs: int = 100,
        batch_size: int = -1,
        workers: int = 1,
        random_state: Any = None,
        verbose: int = 0,
    ) -> None: ...
    def get_params(self, deep: bool = True) -> dict[str, Any]: ...
    def set_params(self, **params: Any) -> Self: ...

class KestrinRegressor(_KestrinEstimator):
    def fit(self, X: Any, y: Any, sample_weight: Any = None) -> Self: ...
    def predict(self, X: Any) -> Any: ...
    def score(self, X: Any, y: Any, sample_weight: Any = None) -> float: ...
    # scikit-learn's metadata routing, for sample_weight.
    def set_fit_request(self, *, sample_weight: bool | str | None = ...) -> Self: ...
    def set_score_request(self, *, sample_weight: bool | str | None = ...) -> Self: ...

class KestrinClassifier(_KestrinEstimator):
    classes_: Any
    def fit(self, X: Any, y: Any, sample_weight: Any = None) -> Self: ...
    def predict(self, X: Any) -> Any: ...
    def predict_proba(self, X: Any) -> Any: ...
    def score(self, X: Any, y: Any, sample_weight: Any = None) -> float: ...
    # scikit-learn's metadata routing, for sample_weight.
    def set_fit_request(self, *, sample_weight: bool | str | None = ...) -> Self: ...
    def set_score_request(self, *, sample_weight: bool | str | None = ...) -> Self: ...

"""Kestrin allows training models through neuro-evolution."""

import os
from collections.abc import Callable
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from . import callbacks as callbacks
from . import optimizers as optimizers
from . import sklearn as sklearn  # after `import kestrin.sklearn`

__version__: str

_Path = str | os.PathLike[str]
_Array = npt.NDArray[Any]
# Callbacks follow Keras's protocol: any object with any of set_model,
# on_train_begin, on_epoch_begin, on_epoch_end and on_train_end.
_Callbacks = list[Any] | tuple[Any, ...] | None
# Histories: floats per epoch, ints under "size".
_History = dict[str, list[Any]]
# train_func's losses: a list or 1-D array of 2 * pop_size numbers, lower is better.
_Losses = npt.ArrayLike
# gradients: the loss, then its derivatives per node (get_nodes order) and per connection (get_connections order).
_Gradients = tuple[float, npt.NDArray[np.float64], npt.NDArray[np.float64]]

class Genome:
    @property
    def inputs(self) -> int: ...
    @property
    def outputs(self) -> int: ...
    @property
    def size(self) -> int: ...
    def __init__(self, inputs: int, outputs: int) -> None: ...
    def predict(self, x: _Array, /, *, workers: int = 1) -> npt.NDArray[np.float64]: ...
    def get_nodes(self) -> list[tuple[int, dict[str, Any]]]: ...
    def get_connections(self) -> list[tuple[int, int, dict[str, float]]]: ...
    def gradients(self, x: _Array, y: _Array, /, *, loss: str = "mse", workers: int = 1) -> _Gradients: ...

class Model:
    @property
    def inputs(self) -> int: ...
    @property
    def outputs(self) -> int: ...
    size: int
    stop_training: bool
    @property
    def gradient_passes(self) -> int: ...
    def __init__(self, inputs: int, outputs: int, size: int = -1) -> None: ...
    def compile(
        self,
        optimizer: str | optimizers.Alpha | optimizers.Beta | optimizers.Gamma = "alpha",
        loss: str = "",
        metrics: list[str] | tuple[str, ...] = ...,
        monitors: list[str] | tuple[str, ...] = ...,
        *,
        precision: Literal["float64", "float32"] = "float64",
    ) -> None: ...
    def evolve(
        self,
        x_train: _Array,
        y_train: _Array,
        pop_size: int = 100,
        batch_size: int = -1,
        epochs: int = 100,
        validation_data: tuple[_Array, _Array] | list[_Array] | None = None,
        verbose: int = 1,
        callbacks: _Callbacks = None,
        *,
        workers: int = 1,
        validation_split: float = 0.0,
        sample_weight: _Array | None = None,
        class_weight: dict[int, float] | None = None,
        initial_epoch: int = 0,
    ) -> _History: ...
    def func_evolve(
        self,
        train_func: Callable[[list[Genome]], _Losses],
        pop_size: int = 100,
        epochs: int = 100,
        verbose: int = 1,
        validation_func: Callable[[Genome], float] | None = None,
        callbacks: _Callbacks = None,
        *,
        initial_epoch: int = 0,
    ) -> _History: ...
    def predict(self, x: _Array, /, *, workers: int = 1) -> npt.NDArray[np.float64]: ...
    def evaluate(
        self, x: _Array, y: _Array, /, *, workers: int = 1, sample_weight: _Array | None = None
    ) -> list[float]: ...
    def gradients(self, x: _Array, y: _Array, /, *, workers: int = 1) -> _Gradients: ...
    def set_genes(self, biases: _Array, weights: _Array, /) -> None: ...
    def get_nodes(self) -> list[tuple[int, dict[str, Any]]]: ...
    def get_connections(self) -> list[tuple[int, int, dict[str, float]]]: ...
    def to_keras(self) -> Any: ...
    def save(self, path: _Path, /) -> None: ...
    def to_dot(self) -> str: ...

def load(path: _Path, /) -> Model: ...
def from_keras(keras_model: Any, /) -> Model: ...
def set_random_seed(seed: int) -> None: ...
def _derived_seed() -> int: ...

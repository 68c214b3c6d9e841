"""Callbacks for Model.evolve and Model.func_evolve."""

import os
from typing import Literal

class EarlyStopping:
    def __init__(
        self,
        monitor: str = "loss",
        min_delta: float = 0.0,
        patience: int = 0,
        baseline: float | None = None,
        restore_best_weights: bool = False,
    ) -> None: ...
    @property
    def monitor(self) -> str: ...
    @property
    def min_delta(self) -> float: ...
    @property
    def patience(self) -> int: ...
    @property
    def baseline(self) -> float | None: ...
    @property
    def restore_best_weights(self) -> bool: ...
    # What training has seen so far: the lowest monitored value and its epoch,
    # the epochs waited without improvement, and the epoch that stopped training.
    @property
    def best(self) -> float | None: ...
    @property
    def best_epoch(self) -> int: ...
    @property
    def wait(self) -> int: ...
    @property
    def stopped_epoch(self) -> int: ...

class ModelCheckpoint:
    def __init__(
        self,
        filepath: str | os.PathLike[str],
        monitor: str = "loss",
        save_best_only: bool = False,
    ) -> None: ...
    @property
    def filepath(self) -> str: ...
    @property
    def monitor(self) -> str: ...
    @property
    def save_best_only(self) -> bool: ...
    @property
    def best(self) -> float | None: ...

class BackupAndRestore:
    def __init__(
        self,
        backup_dir: str | os.PathLike[str],
        save_freq: Literal["epoch"] | int = "epoch",
        delete_checkpoint: bool = True,
    ) -> None: ...
    @property
    def backup_dir(self) -> str: ...
    @property
    def save_freq(self) -> Literal["epoch"] | int: ...
    @property
    def delete_checkpoint(self) -> bool: ...

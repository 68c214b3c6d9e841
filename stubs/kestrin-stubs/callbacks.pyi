"""Callbacks for Model.evolve and Model.func_evolve."""

import os

class EarlyStopping:
    def __init__(
        self,
        monitor: str = "loss",
        min_delta: float = 0.0,
        patience: int = 0,
        baseline: float | None = None,
        restore_best_weights: bool = False,
    ) -> None: ...

class ModelCheckpoint:
    def __init__(
        self,
        filepath: str | os.PathLike[str],
        monitor: str = "loss",
        save_best_only: bool = False,
    ) -> None: ...

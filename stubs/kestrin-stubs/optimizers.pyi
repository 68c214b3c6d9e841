"""Optimizers."""

from typing import Final, Literal

class Alpha:
    def __init__(self, mutation_rate: float = 0.5) -> None: ...

class Beta:
    def __init__(
        self,
        *,
        crossover_rate: float = 0.25,
        tournament_size: int = 2,
        islands: int = 4,
        step_size: float = 0.5,
        gene_rate: float = 0.5,
        replace_rate: float = 0.0,
        activation_rate: float = 0.05,
        add_node_rate: float = 0.05,
        remove_node_rate: float = 0.02,
        add_connection_rate: float = 0.05,
        remove_connection_rate: float = 0.02,
        parsimony: float = 0.0,
        refine_steps: int = 0,
        refine_rate: float = 0.01,
        refine_best: int = 0,
        refine_method: Literal["adam", "lbfgs"] = "adam",
    ) -> None: ...
    crossover_rate: Final[float]
    tournament_size: Final[int]
    islands: Final[int]
    step_size: Final[float]
    gene_rate: Final[float]
    replace_rate: Final[float]
    activation_rate: Final[float]
    add_node_rate: Final[float]
    remove_node_rate: Final[float]
    add_connection_rate: Final[float]
    remove_connection_rate: Final[float]
    parsimony: Final[float]
    refine_steps: Final[int]
    refine_rate: Final[float]
    refine_best: Final[int]
    @property
    def refine_method(self) -> Literal["adam", "lbfgs"]: ...

class Gamma:
    def __init__(
        self,
        *,
        step_size: float = 1.0,
        hidden: int = 8,
        grow_patience: int = 0,
        max_hidden: int = 32,
        separable_above: int = 200,
        refine_passes: int = 100,
        refine_step_size: float = 0.25,
        refine_hidden: int = 16,
        refine_grow_patience: int = 60,
        weight_decay: float = 0.0,
        max_weight_decay: float = 16.0,
        hold_out: bool = True,
    ) -> None: ...
    step_size: Final[float]
    hidden: Final[int]
    grow_patience: Final[int]
    max_hidden: Final[int]
    separable_above: Final[int]
    refine_passes: Final[int]
    refine_step_size: Final[float]
    refine_hidden: Final[int]
    refine_grow_patience: Final[int]
    weight_decay: Final[float]
    max_weight_decay: Final[float]
    hold_out: Final[bool]

"""Optimizers."""

class Alpha:
    def __init__(self, mutation_rate: float = 0.5) -> None: ...

class Beta:
    def __init__(self, **kwargs: float) -> None: ...

"""Mistakes a new user makes; mypy --strict must report each on its marked line."""

import numpy as np

import kestrin
from kestrin.sklearn import KestrinClassifier

x = np.random.rand(64, 2)
y = x[:, :1]
model = kestrin.Model(2, 1)
model.compile(loss="mse")

model.evolv(x, y)  # E: attr-defined
model.evolve(x, y, epoch=3)  # E: call-arg
model.evolve(x, y, pop_size="100")  # E: arg-type
kestrin.Model("2", 1)  # E: arg-type
model.save(3)  # E: arg-type
model.inputs = 3  # E: misc
model.compile(optimizer=3)  # E: arg-type
history: dict[str, float] = model.evolve(x, y)  # E: assignment
kestrin.optimizers.Alpha(rate=0.1)  # E: call-arg
KestrinClassifier(pop_size="10")  # E: arg-type

"""Builds a model and runs it on a small dataset that kestrin makes itself."""
import numpy as np

import kestrin

rng = np.random.default_rng(7)
x = rng.uniform(-1.0, 1.0, size=(256, 2))
y = (x[:, :1] * x[:, 1:])

model = kestrin.Model(2, 1, size=6)
print("nodes:", model.size)

"""A user's script that uses kestrin's whole API; mypy --strict must accept it."""

import os
import pathlib
import tempfile
from typing import Any

import numpy as np
import numpy.typing as npt

import kestrin
from kestrin.callbacks import EarlyStopping, ModelCheckpoint
from kestrin.optimizers import Alpha, Beta, Gamma

version: str = kestrin.__version__
kestrin.set_random_seed(7)

x = np.random.rand(64, 2)
y = x[:, :1] * x[:, 1:]

model = kestrin.Model(2, 1, size=4)
counts: tuple[int, int, int] = (model.inputs, model.outputs, model.size)
model.compile(optimizer=Alpha(mutation_rate=0.3), loss="mse", metrics=["mae"], monitors=["size"])
model.compile(optimizer="alpha", loss="mse")
model.compile(optimizer=Beta())
model.compile(optimizer=Gamma(step_size=0.3, hidden=2))
gamma_step: float = Gamma().step_size
model.compile(loss="mae", metrics=("mse", "mape"))

folder = pathlib.Path(tempfile.mkdtemp())
stopper = EarlyStopping(monitor="val_loss", patience=3, restore_best_weights=True)
checkpoint = ModelCheckpoint(folder / "best.kn", save_best_only=True)
backup = kestrin.callbacks.BackupAndRestore(folder / "backup", save_freq=2)
history: dict[str, list[Any]] = model.evolve(
    x,
    y,
    pop_size=20,
    batch_size=16,
    epochs=5,
    validation_data=(x, y),
    verbose=0,
    callbacks=[stopper, checkpoint, backup],
    workers=2,
    initial_epoch=1,
)
last_loss: float = history["loss"][-1]
model.stop_training = False

predictions: npt.NDArray[np.float64] = model.predict(x, workers=2)
scores: list[float] = model.evaluate(x, y)
nodes = model.get_nodes()
first_bias: float = nodes[0][1]["bias"]
weights = [weight["weight"] for _, _, weight in model.get_connections()]
dot: str = model.to_dot()


def fitness(genomes: list[kestrin.Genome]) -> list[float]:
    return [float(np.mean((genome.predict(x) - y) ** 2)) for genome in genomes]


def validation(genome: kestrin.Genome) -> float:
    return float(np.mean(np.abs(genome.predict(x) - y)))


model.func_evolve(fitness, pop_size=10, epochs=2, verbose=0, validation_func=validation)
model.func_evolve(lambda genomes: np.zeros(len(genomes)), epochs=1, verbose=0)

model.save("model.kn")
model.save(folder / "model.kn")
same: kestrin.Model = kestrin.load(os.path.join(folder, "model.kn"))
again = kestrin.load(folder / "model.kn")
genome = kestrin.Genome(2, 1)
print(repr(same), again.size, genome)

keras_model: Any = model.to_keras()
back: kestrin.Model = kestrin.from_keras(keras_model)

model.compile(loss="sparse_categorical_crossentropy", metrics=["accuracy"])
model.evolve(x, y, epochs=1, verbose=0, validation_split=0.25, sample_weight=np.ones(len(x)), class_weight={0: 2.0})
weighted: list[float] = model.evaluate(x, y, sample_weight=np.ones(len(x)))

from kestrin.sklearn import KestrinClassifier  # noqa: E402

classifier: KestrinClassifier = KestrinClassifier(pop_size=10, epochs=2).set_params(random_state=0)
print(classifier.fit(x, y[:, 0] > 0).predict_proba(x), classifier.classes_, weighted)
loss, bias_slopes, weight_slopes = model.gradients(x, y, workers=2)
model.set_genes(bias_slopes * 0.0, weight_slopes - loss)
refining = kestrin.optimizers.Beta(refine_steps=3, refine_rate=0.05, refine_best=0)
steps: int = refining.refine_steps

"""Trains a small kestrin model on a dataset the script makes itself.

The task: from two inputs in [-1, 1], predict x0 * x1 + 0.3 * sin(3 * x0), which no network without
hidden nodes can fit. The model starts as two inputs wired straight to one output and evolves its
weights, biases, activations and structure: hidden nodes appear as the loss falls. The progress line
shows the loss and the node count of each epoch; the end of the run compares a few predictions with
their targets. The run is seeded, so it is the same every time.
"""
import time

import numpy as np

import kestrin


def make_dataset(n, rng):
    x = rng.uniform(-1.0, 1.0, size=(n, 2))
    y = x[:, :1] * x[:, 1:] + 0.3 * np.sin(3.0 * x[:, :1])
    return x, y


def main():
    kestrin.set_random_seed(0)
    rng = np.random.default_rng(7)
    x_train, y_train = make_dataset(4096, rng)
    x_val, y_val = make_dataset(512, rng)

    model = kestrin.Model(2, 1)
    model.compile(loss="mse", metrics=["mae"], monitors=["size"])
    start_loss = model.evaluate(x_val, y_val)[0]
    print(f"kestrin model with {model.size} nodes; validation loss before training: {start_loss:.6f}")

    started = time.perf_counter()
    history = model.evolve(
        x_train, y_train, pop_size=100, batch_size=512, epochs=300, validation_data=(x_val, y_val), verbose=1
    )
    seconds = time.perf_counter() - started

    final_loss, final_mae = model.evaluate(x_val, y_val)
    print(f"\nTrained for {len(history['loss'])} epochs in {seconds:.1f} s.")
    print(f"Final loss (mse) on the validation set: {final_loss:.6f} (was {start_loss:.6f}), mae {final_mae:.6f}")
    print(f"Nodes in the evolved network: {model.size} (it started with 3: two inputs and the output)")

    print("\nA few predictions:")
    print("      x0       x1    target  predicted")
    for (x0, x1), target, predicted in zip(x_val[:5], y_val[:5, 0], model.predict(x_val[:5])[:, 0]):
        print(f"{x0:8.3f} {x1:8.3f} {target:9.4f} {predicted:10.4f}")


if __name__ == "__main__":
    main()

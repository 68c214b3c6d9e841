"""Plots the history of an evolve run (training and validation loss, network size) to a PNG.

    python examples/plot_history.py                          # writes history.png
    python examples/plot_history.py --epochs 20 --output run.png
"""
import argparse

import matplotlib

matplotlib.use("Agg")  # files only: no display needed
import matplotlib.pyplot as plt
import matplotlib.ticker
import numpy as np

import kestrin


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--epochs", type=int, default=200)
    parser.add_argument("--output", default="history.png")
    args = parser.parse_args()

    rng = np.random.default_rng(3)
    x = rng.uniform(-1.0, 1.0, size=(1200, 2))
    y = 0.5 * x[:, :1] - 0.3 * x[:, 1:] + 0.2 * x[:, :1] * x[:, 1:]
    (x_train, x_val), (y_train, y_val) = np.split(x, [1000]), np.split(y, [1000])

    model = kestrin.Model(2, 1)
    model.compile(loss="mse", monitors=["size"])
    history = model.evolve(
        x_train, y_train, pop_size=60, batch_size=250, epochs=args.epochs, validation_data=(x_val, y_val), verbose=0
    )

    epochs = np.arange(1, len(history["loss"]) + 1)
    figure, (losses, sizes) = plt.subplots(2, 1, sharex=True, figsize=(7, 6))
    # With several batches per epoch, "loss" is the mean over the epoch's batches.
    losses.plot(epochs, history["loss"], label="loss (mean over batches)")
    losses.plot(epochs, history["val_loss"], label="val_loss")
    losses.set_yscale("log")
    losses.set_ylabel("mean squared error")
    losses.legend()
    sizes.step(epochs, history["size"], where="post")
    sizes.yaxis.set_major_locator(matplotlib.ticker.MaxNLocator(integer=True))
    sizes.set_ylabel("nodes")
    sizes.set_xlabel("epoch")
    figure.suptitle("kestrin: evolving y = 0.5 x0 - 0.3 x1 + 0.2 x0 x1")
    figure.tight_layout()
    figure.savefig(args.output, dpi=100)
    print(f"wrote {args.output} ({len(epochs)} epochs, final val_loss {history['val_loss'][-1]:.5f})")


if __name__ == "__main__":
    main()

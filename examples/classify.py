"""Classifies scikit-learn's breast cancer dataset (569 tumours, 30 measurements) with kestrin.

The features are standardised with the training split's mean and deviation; the model's one
output is a logit, evolved on the 0/1 labels with binary cross-entropy in mini-batches, with its
accuracy on the last fifth of the training samples (validation_split) beside it. A logit above 0
(a probability sigmoid(logit) above 0.5) counts as class 1. Prints the accuracy on the held-out
test split.

    python examples/classify.py                # about ten seconds
    python examples/classify.py --epochs 5
"""
import argparse

import numpy as np
from sklearn.datasets import load_breast_cancer
from sklearn.model_selection import train_test_split

import kestrin


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--epochs", type=int, default=150)
    parser.add_argument("--pop-size", type=int, default=100)
    args = parser.parse_args()

    x, y = load_breast_cancer(return_X_y=True)
    y = y.reshape(-1, 1).astype(np.float64)
    x_train, x_test, y_train, y_test = train_test_split(x, y, test_size=0.25, random_state=0, stratify=y)
    mean, deviation = x_train.mean(axis=0), x_train.std(axis=0)
    x_train, x_test = ((part - mean) / deviation for part in (x_train, x_test))

    model = kestrin.Model(x.shape[1], 1)
    model.compile(loss="binary_crossentropy", metrics=["accuracy"], monitors=["size"])
    model.evolve(
        x_train, y_train, pop_size=args.pop_size, batch_size=128, epochs=args.epochs,
        validation_split=0.2, verbose=2,
    )

    loss, accuracy = model.evaluate(x_test, y_test)
    print(f"{model!r}")
    print(f"test accuracy: {accuracy:.3f} on {len(y_test)} tumours")


if __name__ == "__main__":
    main()

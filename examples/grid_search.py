"""Chooses between two kestrin settings with scikit-learn: a Pipeline of StandardScaler and
kestrin.sklearn.KestrinClassifier, searched by GridSearchCV on the wine dataset (178 wines,
13 measurements, 3 cultivars), then scored on a held-out test split.

The grid compares sparse categorical cross-entropy (one logit per class) with mean squared
error on one-hot targets, at the same number of evaluations. GridSearchCV fits its candidates in
two processes (n_jobs=2); random_state makes every fit repeatable.

    python examples/grid_search.py                # a few seconds
    python examples/grid_search.py --epochs 5
"""
import argparse

from sklearn.datasets import load_wine
from sklearn.model_selection import GridSearchCV, train_test_split
from sklearn.pipeline import Pipeline
from sklearn.preprocessing import StandardScaler

from kestrin.sklearn import KestrinClassifier


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--epochs", type=int, default=100)
    parser.add_argument("--pop-size", type=int, default=60)
    args = parser.parse_args()

    x, y = load_wine(return_X_y=True)
    x_train, x_test, y_train, y_test = train_test_split(x, y, test_size=0.25, random_state=0, stratify=y)
    pipeline = Pipeline([
        ("scale", StandardScaler()),
        ("kestrin", KestrinClassifier(pop_size=args.pop_size, epochs=args.epochs, random_state=0)),
    ])
    search = GridSearchCV(pipeline, {"kestrin__loss": ["sparse_categorical_crossentropy", "mse"]}, cv=3, n_jobs=2)
    search.fit(x_train, y_train)

    for loss, score in zip(search.cv_results_["param_kestrin__loss"], search.cv_results_["mean_test_score"]):
        print(f"{loss}: mean cross-validated accuracy {score:.3f}")
    print(f"best: {search.best_params_['kestrin__loss']}")
    print(f"test accuracy: {search.score(x_test, y_test):.3f} on {len(y_test)} wines")


if __name__ == "__main__":
    main()

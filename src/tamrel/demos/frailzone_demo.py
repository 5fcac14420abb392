"""Weak regions of a gradient-boosting model on scikit-learn's diabetes data."""

import os

import numpy as np
import pandas as pd
from sklearn.datasets import load_diabetes
from sklearn.ensemble import GradientBoostingRegressor

from tamrel.demos.frailzone_figures import save_figures
from tamrel.diagnoser.frailzone import FrailZone


def load_split(seed=0):
    """The diabetes data as a DataFrame, a fitted model and a 70/30 split."""
    data = load_diabetes(as_frame=True)
    x, y = data.data, data.target.to_numpy()
    rng = np.random.default_rng(seed)
    perm = rng.permutation(len(y))
    train_idx, test_idx = np.sort(perm[: int(0.7 * len(y))]), np.sort(perm[int(0.7 * len(y)):])
    model = GradientBoostingRegressor(n_estimators=150, max_depth=3, random_state=seed)
    model.fit(x.iloc[train_idx], y[train_idx])
    return model, x, y, train_idx, test_idx


def analyse(model, x, y, train_idx, test_idx, slice_features, **settings):
    """A fitted FrailZone on the split."""
    fz = FrailZone(model, slice_features, **settings)
    fz.fit(x, y, train_idx, test_idx)
    return fz


def show(fz, title):
    result = fz.get_result().value
    print(f"\n== {title} ==")
    print(f"method={result['method']} metric={fz.diag.score_name} bins={result['bins']} "
          f"threshold_value={result['threshold_value']:.4g}")
    table = result["data"]
    if table is None:
        print("no weak region found")
    else:
        with pd.option_context("display.width", 140, "display.max_columns", 20):
            print(table.to_string(float_format=lambda v: f"{v:.4g}"))
    return table


def show_shift(fz):
    """The features that differ most between the weak-region rows and the rest."""
    distance = fz.get_distance().value
    print("\nDistance (PSI) between the weak-region test rows and the rest:")
    for name, value in zip(distance["x"], distance["y"]):
        print(f"  {name:<6} {value:.4f}")
    shift = fz.get_shift(show_feature=distance["x"][0]).value
    print(f"Shift of '{distance['x'][0]}': {len(shift['data'])} labelled test rows")


def run(out_dir="tamrel_demo_output"):
    """Fit the model, run one- and two-feature analyses, print the tables and save figures."""
    model, x, y, train_idx, test_idx = load_split()
    one = analyse(model, x, y, train_idx, test_idx, ["bmi"])
    show(one, "Weak regions of 'bmi' (histogram, defaults)")
    two = analyse(model, x, y, train_idx, test_idx, ["bmi", "s5"], min_samples=10)
    show(two, "Weak regions of 'bmi' x 's5' (histogram)")
    tree = analyse(model, x, y, train_idx, test_idx, ["bmi", "s5"], method="tree")
    show(tree, "Weak regions of 'bmi' x 's5' (tree, depth 2)")
    if one.output is not None:
        show_shift(one)
    paths = save_figures(one, two, out_dir)
    print("\nFigures written:")
    for path in paths:
        print(f"  {os.path.abspath(path)}")
    return one, two, tree

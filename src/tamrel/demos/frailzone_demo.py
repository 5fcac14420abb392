"""Weak regions of a gradient-boosting model on scikit-learn's diabetes data."""

import numpy as np
import pandas as pd
from sklearn.datasets import load_diabetes
from sklearn.ensemble import GradientBoostingRegressor

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


def run():
    """Fit the model, run the one-feature analysis with the defaults and print the table."""
    model, x, y, train_idx, test_idx = load_split()
    fz = analyse(model, x, y, train_idx, test_idx, ["bmi"])
    show(fz, "Weak regions of 'bmi' (histogram, defaults)")
    return model, x, y, train_idx, test_idx, fz

"""A scan of every feature and pair of the diabetes model, with a categorical column and gaps."""

import os

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
from sklearn.compose import make_column_transformer
from sklearn.ensemble import HistGradientBoostingRegressor
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import OrdinalEncoder

from tamrel.demos.frailzone_demo import load_split
from tamrel.diagnoser.frailzone import FrailScan
from tamrel.plots import render


def tabular(x, seed=0):
    """The diabetes frame as real tables come: 'sex' as a category, a few 'bp' values missing."""
    frame = x.assign(sex=np.where(x["sex"] > 0, "m", "f"))
    frame["sex"] = frame["sex"].astype("category")
    missing = np.random.default_rng(seed).random(len(frame)) < 0.05
    frame.loc[missing, "bp"] = np.nan
    return frame


def model_for(frame, y, train_idx, seed=0):
    """A pipeline that encodes the category and leaves the gaps to the trees."""
    encode = make_column_transformer((OrdinalEncoder(), ["sex"]), remainder="passthrough")
    model = make_pipeline(encode, HistGradientBoostingRegressor(max_iter=150, random_state=seed))
    return model.fit(frame.iloc[train_idx], y[train_idx])


def run(out_dir="tamrel_demo_output"):
    """Scan all features and pairs, print the most significant regions and save the ranking figure."""
    _, x, y, train_idx, test_idx = load_split()
    frame = tabular(x)
    scan = FrailScan(model_for(frame, y, train_idx), metric="MSE", min_samples=10, verbose=False)
    scan.fit(frame, y, train_idx, test_idx)
    table = scan.output
    print(f"\n== Scan of {frame.shape[1]} features and their pairs (MSE, found on train, tested on test) ==")
    print(f"{len(table)} weak regions, {int(table['significant'].sum())} significant at q <= {scan.alpha}")
    columns = ["slice_features", "kind", "lb1", "ub1", "lb2", "ub2", "#Test", "test_MSE", "Gap",
               "p_value", "q_value"]
    with pd.option_context("display.width", 160, "display.max_columns", 20):
        print(table[columns].head(8).to_string(float_format=lambda v: f"{v:.4g}"))
    os.makedirs(out_dir, exist_ok=True)
    path = os.path.join(out_dir, "scan.png")
    fig = render(scan.get_result())
    fig.savefig(path, dpi=100)
    plt.close(fig)
    print(f"\nFigure written:\n  {os.path.abspath(path)}")
    return scan

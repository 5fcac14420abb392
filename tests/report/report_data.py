"""Data of the report's tests."""

import numpy as np
import pandas as pd


def make_frame(n=6000, seed=0):
    """Features a, b (numeric, a with gaps) and c (categories); y noisier where b > 8 and c == "v",
    shifted where b < 1 and c == "w" (a bias the prediction misses)."""
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame({"a": rng.normal(size=n), "b": rng.uniform(0, 10, n),
                          "c": pd.Categorical(rng.choice(["u", "v", "w"], n))})
    frame.loc[rng.random(n) < 0.05, "a"] = np.nan
    frame["y"] = (frame["b"] + 4.0 * ((frame["b"] < 1) & (frame["c"] == "w")) + rng.normal(size=n)
                  * (1 + 2 * (frame["b"] > 8) + 1.5 * (frame["c"] == "v")))
    frame["pred"] = frame["b"]
    frame["test"] = rng.random(n) < 0.3
    return frame


def split(frame):
    return np.flatnonzero(~frame["test"].to_numpy()), np.flatnonzero(frame["test"].to_numpy())

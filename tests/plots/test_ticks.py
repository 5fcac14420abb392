import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest
from matplotlib.ticker import FixedLocator
from sklearn.preprocessing import MinMaxScaler, StandardScaler

from tamrel.exceptions import TamrelError
from tamrel.plots import scale_plot_ticks

DATA = pd.DataFrame({"age": np.linspace(20.0, 80.0, 13), "income": np.linspace(1e3, 9e4, 13)})


@pytest.fixture
def ax():
    fig, axes = plt.subplots()
    axes.plot([-2.0, 2.0], [0.0, 1.0])
    yield axes
    plt.close(fig)


def _labels(axis):
    axis.figure.canvas.draw()
    return [t.get_text() for t in axis.get_majorticklabels()], axis.get_majorticklocs()


@pytest.mark.parametrize("scaler_cls", [StandardScaler, MinMaxScaler])
def test_transformer_relabels_in_original_units(ax, scaler_cls):
    scaler = scaler_cls().fit(DATA)
    ticks_before, xlim = ax.get_xticks().copy(), ax.get_xlim()
    assert scale_plot_ticks(ax, "income", scaler, 0) is ax
    labels, locs = _labels(ax.xaxis)
    np.testing.assert_array_equal(locs, ticks_before)
    assert ax.get_xlim() == xlim
    assert isinstance(ax.xaxis.get_major_locator(), FixedLocator)
    column = DATA.columns.get_loc("income")
    scaled = np.zeros((len(locs), 2))
    scaled[:, column] = locs
    expected = scaler.inverse_transform(scaled)[:, column]
    assert labels == [f"{v:.4g}" for v in expected]


def test_mapping_relabels_y_axis_only(ax):
    x_labels_before = _labels(ax.xaxis)[0]
    scale_plot_ticks(ax, "age", {"age": lambda v: v * 10 + 5}, 1)
    labels, locs = _labels(ax.yaxis)
    assert labels == [f"{v * 10 + 5:.4g}" for v in locs]
    assert _labels(ax.xaxis)[0] == x_labels_before


def test_unknown_feature_leaves_ticks(ax):
    before = _labels(ax.xaxis)
    scale_plot_ticks(ax, "height", StandardScaler().fit(DATA), 0)
    scale_plot_ticks(ax, "height", {"age": np.exp}, 0)
    after = _labels(ax.xaxis)
    assert after[0] == before[0]


def test_bad_axis_or_scaler_raises(ax):
    with pytest.raises(TamrelError, match="axis"):
        scale_plot_ticks(ax, "age", {"age": np.exp}, 2)
    with pytest.raises(TamrelError, match="scaler"):
        scale_plot_ticks(ax, "age", StandardScaler().fit(DATA.values), 0)

"""tamrel.plots.render: one figure per kind of result record."""

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest

from tamrel.diagnoser.frailzone import FrailZone
from tamrel.exceptions import TamrelError, TamrelInfo
from tamrel.plots import render
from tamrel.utils import TestDataResult


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


@pytest.fixture(scope="module")
def fz():
    rng = np.random.default_rng(0)
    x = rng.uniform(-1, 1, (600, 3))
    y = x[:, 0] + rng.normal(size=600) * (0.1 + (x[:, 0] > 0.4))
    perm = rng.permutation(600)
    fz = FrailZone(None, ["X0"], min_samples=10)
    fz.fit(x, y, perm[:450], perm[450:], prediction=x[:, 0])
    assert fz.output is not None
    return fz


def test_region_table(fz, monkeypatch):
    monkeypatch.setattr(plt, "show", lambda *a, **k: pytest.fail("show under Agg"))
    fig = render(fz.get_result())
    (table,) = fig.axes[0].tables
    cells = table.get_celld()
    assert [cells[0, j].get_text().get_text() for j in range(7)] == list(fz.output.columns)
    assert cells[1, 2].get_text().get_text() == str(fz.output["#Test"][0])
    assert len({r for r, _ in cells}) == len(fz.output) + 1
    with pytest.raises(TamrelInfo, match="No weak regions detected."):
        render(TestDataResult(key="frailzone_result", value={"data": None, "threshold_value": 1.0}))


def test_distance_bars(fz):
    value = fz.get_distance().value
    ax = render(fz.get_distance()).axes[0]
    (bars,) = ax.containers
    np.testing.assert_allclose([p.get_width() for p in bars], value["y"])
    labels = [t.get_text() for t in ax.get_yticklabels()]
    assert labels == value["x"]
    assert ax.yaxis_inverted()  # the largest distance on top
    assert ax.get_title().startswith(value["title"]) and ax.get_xlabel() == "PSI"


def test_shift_numerical_and_categorical(fz):
    result = fz.get_shift(show_feature="X0")
    ax = render(result).axes[0]
    assert [t.get_text() for t in ax.get_legend().get_texts()] == ["Remaining Regions", "Weak Regions"]
    assert ax.get_xlabel() == "X0" and ax.get_title().startswith(result.value["title"])
    for container in ax.containers:  # histograms normalised to unit area
        area = sum(p.get_width() * p.get_height() for p in container)
        assert area == pytest.approx(1.0)

    frame = pd.DataFrame({"c": [1.0, 1.0, 2.0, 3.0, 1.0, 2.0],
                          "resi_type_": ["Full Regions"] * 4 + ["Weak Regions"] * 2})
    value = {"title": "t", "show_feature": "c", "feature_type": "categorical", "data": frame}
    ax = render(TestDataResult(key="frailzone_shift", value=value)).axes[0]
    full, weak = ax.containers
    np.testing.assert_allclose([p.get_height() for p in full], [0.5, 0.25, 0.25])
    np.testing.assert_allclose([p.get_height() for p in weak], [0.5, 0.5, 0.0])
    assert [t.get_text() for t in ax.get_xticklabels()] == ["1.0", "2.0", "3.0"]


def test_marginal_and_unknown_key(fz):
    fig = render(fz.get_marginal(), figsize=(5, 4))
    assert len(fig.axes) == 2 and tuple(fig.get_size_inches()) == (5, 4)
    with pytest.raises(TamrelError, match="Cannot render"):
        render(TestDataResult(key="other", value={}))


def test_demo_figures_saved(fz, tmp_path):
    from tamrel.demos.frailzone_figures import save_figures

    two = FrailZone(None, ["X0", "X1"], min_samples=10)
    two.fit(fz.x, fz.y, fz.train_idx, fz.test_idx, prediction=fz.pred)
    paths = save_figures(fz, two, str(tmp_path / "figures"))
    names = ["marginal_one_feature.png", "marginal_two_features.png", "weak_regions_table.png",
             "distance.png", "shift.png"]
    assert paths == [str(tmp_path / "figures" / n) for n in names]
    for p in paths:
        with open(p, "rb") as f:
            assert f.read(8) == b"\x89PNG\r\n\x1a\n"
    assert plt.get_fignums() == []


@pytest.mark.parametrize("figsize", [(0, 0), (5, -1), (np.nan, 4), (5,), "wide"])
def test_bad_figsize_named(fz, figsize):
    for result in (fz.get_result(), fz.get_marginal()):
        with pytest.raises(ValueError, match="^figsize must be two positive numbers"):
            render(result, figsize=figsize)

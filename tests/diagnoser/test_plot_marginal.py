"""FrailZone.plot_marginal, checked on the figure it returns (no pixel baselines)."""

import matplotlib.pyplot as plt
import numpy as np
import pytest
import scipy.stats
from matplotlib.colors import to_rgba

import tamrel.diagnoser.frailzone as frailzone
from tamrel.diagnoser.frailzone import FrailZone
from tamrel.exceptions import TamrelInfo
from tamrel.utils import TestDataResult

FULL, WEAK = to_rgba("#c0dbec"), to_rgba("#69a5cf")


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


def rule(lb, ub, value, lb2=None, ub2=None):
    splits = {"f0": {"lb": lb, "ub": ub}}
    if lb2 is not None:
        splits["f1"] = {"lb": lb2, "ub": ub2}
    return {"splits": splits, "values": value, "counts": 1}


def record(x, regions, rules=(), fidx=(0,), threshold=1.0, sign=-1, scores=None, additive=True,
           use_test=False, bins=10, names=("a", "b", "c")):
    scores = np.linspace(0, 2, len(x)) if scores is None else scores
    return TestDataResult(key="frailzone_plot", value={
        "slice_features": [names[i] for i in fidx], "bins": bins, "method": "histogram",
        "min_samples": 1, "metric": "MSE", "weak_region_stats": list(regions), "fidx": list(fidx),
        "rule_list": list(rules), "x": x, "y": np.zeros(len(x)), "threshold_value": threshold,
        "score_name": "MSE", "_sign": sign, "scores": scores, "use_test": use_test,
        "is_metric_additive": additive, "feature_names": list(names)})


def reference_curve(x0, rules, grid):
    """The score curve, step by step with NumPy."""
    lo, hi = x0.min(), x0.max()
    xg, yg = np.linspace(lo, hi, grid), np.zeros(grid)
    for r in rules:
        lb, ub, v = r["splits"]["f0"]["lb"], r["splits"]["f0"]["ub"], r["values"]
        mask = (xg >= lb) & ((xg <= ub) if ub == hi else (xg < ub))
        if mask.any():
            yg[mask] = v
            continue
        low, up = np.where(xg < lb)[0][-1], np.where(xg >= ub)[0][0]
        xg = np.hstack([xg[:low + 1], np.linspace(lb, ub, 10), xg[up:]])
        yg = np.hstack([yg[:low + 1], np.full(10, v), yg[up:]])
    return xg, yg


def reference_histogram(c, bins, flags):
    n = min(len(np.unique(c)), bins)
    density, edges = np.histogram(c, bins=n, density=True)
    share = scipy.stats.binned_statistic(c, flags.astype(float), statistic="mean", bins=edges)[0]
    return (edges[:-1] + edges[1:]) / 2, density, share


def bar_data(container, sideways=False):
    pos = [p.get_y() + p.get_height() / 2 if sideways else p.get_x() + p.get_width() / 2 for p in container]
    size = [p.get_height() if sideways else p.get_width() for p in container]
    length = [p.get_width() if sideways else p.get_height() for p in container]
    return np.array(pos), np.array(size), np.array(length)


# ---- one feature ----------------------------------------------------------------------

def one_feature_record(**kw):
    x0 = np.array([0.0, 0.5, 1.0, 2.0, 2.5, 6.0, 7.0, 8.0, 9.5, 10.0, 10.0])
    x = np.column_stack([x0, np.arange(len(x0), dtype=float)])
    rules = [rule(0.0, 2.0, 1.5), rule(2.0, 6.0, 0.4), rule(2.2, 2.6, 3.0), rule(6.0, 10.0, 1.2),
             rule(9.0, 10.0, 2.5)]
    regions = [{"lb1": 9.0, "ub1": 10.0, "train_MSE": 2.5, "test_MSE": 2.9},
               {"lb1": 0.0, "ub1": 2.0, "train_MSE": 1.5, "test_MSE": 1.1}]
    return record(x, regions, rules, **kw)


def test_one_feature_layout_curve_and_threshold():
    rec = one_feature_record()
    fig = FrailZone.plot_marginal(rec, grid=11)
    assert len(fig.axes) == 2
    ax_main, ax_bottom = fig.axes
    gs = ax_main.get_subplotspec().get_gridspec()
    assert (gs.nrows, gs.ncols) == (2, 1) and list(gs.get_height_ratios()) == [2, 1]
    assert ax_bottom.get_subplotspec().rowspan.start == 1
    assert tuple(fig.get_size_inches()) == (6, 6)

    curve, line = ax_main.lines
    want_x, want_y = reference_curve(rec.value["x"][:, 0], rec.value["rule_list"], 11)
    assert len(want_x) == 21  # the slice [2.2, 2.6) lies between grid points: 10 more points
    np.testing.assert_allclose(curve.get_xdata(), want_x, rtol=1e-12)
    np.testing.assert_array_equal(curve.get_ydata(), want_y)
    assert curve.get_ydata()[-1] == 2.5  # the closed last slice reaches the maximum
    assert curve.get_color() == "black" and curve.get_linewidth() == 1
    assert list(line.get_ydata()) == [1.0, 1.0]
    assert (line.get_linestyle(), line.get_linewidth(), line.get_color()) == ("--", 0.5, "red")
    assert ax_main.get_title() == "Weak Regions" and ax_main.title.get_fontsize() == 15
    assert ax_main.get_ylabel() == "MSE"
    assert ax_main.get_xlim() == (0.0, 10.0)
    assert [t.get_text() for t in ax_main.get_xticklabels()] == [""] * len(ax_main.get_xticks())


def test_default_grid_is_1000_points():
    fig = FrailZone.plot_marginal(record(np.c_[np.linspace(0, 1, 50)], [{"lb1": 0.0, "ub1": 1.0, "train_MSE": 1}],
                                         [rule(0.0, 1.0, 2.0)]))
    assert len(fig.axes[0].lines[0].get_xdata()) == 1000


@pytest.mark.parametrize("values, threshold", [([0.0002, 0.0005], 0.0004), ([-0.0009, 0.0003], 0.0),
                                               ([1.0, 3.0], 2.5), ([0.0002, 0.0005], 0.01)])
def test_vertical_limits(values, threshold):
    x = np.c_[np.linspace(0, 1, 20)]
    rules = [rule(0.0, 0.5, values[0]), rule(0.5, 1.0, values[1])]
    fig = FrailZone.plot_marginal(record(x, [{"lb1": 0.0, "ub1": 0.5, "train_MSE": 1}], rules,
                                         threshold=threshold), grid=50)
    lo, hi = min(threshold, *values), max(threshold, *values)
    a, r = max(abs(lo), abs(hi)), hi - lo
    pad = 0.15 * r + (0.1 * a if a < 0.001 else 0.001)
    np.testing.assert_allclose(fig.axes[0].get_ylim(), (lo - pad, hi + pad), rtol=1e-12)


@pytest.mark.parametrize("use_test", [False, True])
def test_region_numbers(use_test):
    rec = one_feature_record(use_test=use_test)
    fig = FrailZone.plot_marginal(rec, grid=11)
    texts = fig.axes[0].texts
    _, yg = reference_curve(rec.value["x"][:, 0], rec.value["rule_list"], 11)
    lift = 0.02 * (yg.max() - yg.min())
    assert [t.get_text() for t in texts] == ["0", "1"]
    for t, reg in zip(texts, rec.value["weak_region_stats"]):
        s = reg["test_MSE" if use_test else "train_MSE"]
        want = (reg["lb1"] + 0.55 * (reg["ub1"] - reg["lb1"]) - 0.01 * 10.0, s + lift)
        np.testing.assert_allclose(t.xy, want, rtol=1e-12)
        assert t.get_color() == "red"


@pytest.mark.parametrize("sign, labels", [(-1, ["Below threshold", "Above threshold"]),
                                          (1, ["Above threshold", "Below threshold"])])
def test_histogram_overlay_and_legend(sign, labels):
    # a gap between 2.5 and 6.0 leaves bins without samples: they get no overlay bar
    rec = one_feature_record(sign=sign, threshold=0.9)
    v = rec.value
    fig = FrailZone.plot_marginal(rec, grid=11)
    ax = fig.axes[1]
    full, weak = ax.containers
    x0 = v["x"][:, 0]
    centres, density, share = reference_histogram(x0, 10, sign * v["scores"] <= sign * 0.9)
    pos, size, length = bar_data(full)
    np.testing.assert_allclose(pos, centres, rtol=1e-12)
    np.testing.assert_allclose(length, density, rtol=1e-12)
    np.testing.assert_allclose(size, centres[1] - centres[0], rtol=1e-12)
    filled = ~np.isnan(share)
    assert filled.sum() < len(share)
    pos, _, length = bar_data(weak)
    np.testing.assert_allclose(pos, centres[filled], rtol=1e-12)
    np.testing.assert_allclose(length, (density * share)[filled], rtol=1e-12)
    assert full[0].get_facecolor() == FULL and weak[0].get_facecolor() == WEAK
    assert full[0].get_edgecolor() == to_rgba("black")
    legend = ax.get_legend()
    assert [t.get_text() for t in legend.get_texts()] == labels
    assert legend.get_texts()[0].get_fontsize() == 8
    assert ax.get_xlabel() == "a" and ax.get_ylabel() == "Density" and ax.get_xlim() == (0.0, 10.0)


def test_few_distinct_values_constant_feature_and_non_additive_metric():
    x = np.c_[np.repeat([1.0, 2.0, 4.0], 5)]
    regions = [{"lb1": 1.0, "ub1": 2.0, "train_MSE": 1.0}]
    fig = FrailZone.plot_marginal(record(x, regions, [rule(1.0, 4.0, 1.0)], additive=False, scores=0.7))
    ax = fig.axes[1]
    assert len(ax.containers) == 1 and len(ax.containers[0]) == 3  # one bin per distinct value
    assert ax.get_legend() is None
    fig = FrailZone.plot_marginal(record(np.c_[np.full(8, 3.0)], [{"lb1": 3.0, "ub1": 3.0, "train_MSE": 1}],
                                         [rule(2.5, 3.5, 1.0)]))
    (bar,) = fig.axes[1].containers[0]
    assert bar.get_width() == pytest.approx(0.8)


def test_scaler_calls_and_missing_regions(monkeypatch):
    calls = []
    monkeypatch.setattr(frailzone, "scale_plot_ticks", lambda **kw: calls.append(kw))
    FrailZone.plot_marginal(one_feature_record(), grid=11)
    assert calls == []
    scaler = {"a": lambda t: t}
    fig = FrailZone.plot_marginal(one_feature_record(), 11, scaler)
    assert calls == [{"ax": fig.axes[1], "feature": "a", "scaler": scaler, "axis": 0}]
    before = plt.get_fignums()
    with pytest.raises(TamrelInfo, match="^No weak regions detected.$"):
        FrailZone.plot_marginal(record(np.c_[np.arange(5.0)], []))
    rec = one_feature_record()
    rec.value["rule_list"] = None
    with pytest.raises(ValueError, match="rule_list"):
        FrailZone.plot_marginal(rec)
    assert plt.get_fignums() == before


# ---- two features ---------------------------------------------------------------------

def reference_image(x0, x1, regions, grid):
    img = np.zeros((grid, grid)) - 1
    g0, g1 = np.linspace(x0.min(), x0.max(), grid), np.linspace(x1.min(), x1.max(), grid)
    spots = []
    for i, r in enumerate(regions):
        closed1 = r["ub1"] == x0.max()
        rows = (x0 >= r["lb1"]) & ((x0 <= r["ub1"]) if closed1 else (x0 < r["ub1"]))
        loc1 = np.where((g0 >= r["lb1"]) & ((g0 <= r["ub1"]) if closed1 else (g0 < r["ub1"])))[0]
        closed2 = r["ub2"] == x1[rows].max()
        loc2 = np.where((g1 >= r["lb2"]) & ((g1 <= r["ub2"]) if closed2 else (g1 < r["ub2"])))[0]
        img[np.ix_(loc1, loc2)] = i % 5 + 1
        if len(loc1) and len(loc2):
            spots.append((str(i), (loc1.mean() - 0.01 * grid) / grid, (loc2.mean() - 0.015 * grid) / grid))
    return img.T[::-1], spots


def two_feature_record(**kw):
    rng = np.random.default_rng(3)
    x = np.column_stack([rng.uniform(0, 1, 200), rng.integers(0, 5, 200) / 4.0, rng.uniform(0, 10, 200)])
    x[0, 0], x[1, 0] = 0.0, 1.0
    x[2] = [0.95, 0.75, 1.0]  # first-feature rows [0.9, 1] reach 0.75 at most: ub2 0.75 is closed there
    regions = [{"lb1": 0.0, "ub1": 0.2, "lb2": 0.0, "ub2": 0.5}, {"lb1": 0.2, "ub1": 0.4, "lb2": 0.25, "ub2": 1.0},
               {"lb1": 0.4, "ub1": 0.5, "lb2": 0.5, "ub2": 0.75}, {"lb1": 0.5, "ub1": 0.6, "lb2": 0.0, "ub2": 0.25},
               {"lb1": 0.6, "ub1": 0.7, "lb2": 0.31, "ub2": 0.32},  # between grid points: paints nothing
               {"lb1": 0.7, "ub1": 0.8, "lb2": 0.0, "ub2": 1.0}, {"lb1": 0.8, "ub1": 0.9, "lb2": 0.5, "ub2": 1.0},
               {"lb1": 0.9, "ub1": 1.0, "lb2": 0.0, "ub2": 0.75}]
    x[(x[:, 0] >= 0.9), 1] = np.minimum(x[(x[:, 0] >= 0.9), 1], 0.75)
    for k, r in enumerate(regions):
        r["train_MSE"] = 2.0 + k / 7  # read by the map's key
    return record(x, regions, fidx=(0, 1), **kw)


def test_two_feature_layout_and_region_map():
    rec = two_feature_record()
    grid = 41
    fig = FrailZone.plot_marginal(rec, grid=grid)
    assert len(fig.axes) == 3
    ax_main, ax_bottom, ax_left = fig.axes
    gs = ax_main.get_subplotspec().get_gridspec()
    assert list(gs.get_height_ratios()) == [6, 1] and list(gs.get_width_ratios()) == [1, 6]
    spans = [(a.get_subplotspec().rowspan.start, a.get_subplotspec().colspan.start) for a in fig.axes]
    assert spans == [(0, 1), (1, 1), (0, 0)]

    x0, x1 = rec.value["x"][:, 0], rec.value["x"][:, 1]
    (image,) = ax_main.images
    want, spots = reference_image(x0, x1, rec.value["weak_region_stats"], grid)
    np.testing.assert_array_equal(np.asarray(image.get_array()), want)
    # rows are x1 = 1.0 (row 0) down to 0 (row 40), columns x0 = 0 ... 1 in steps of 0.025
    assert want[10, 40] == 3  # region 7 is closed at ub2 0.75: its first-feature rows reach no higher
    assert want[10, 18] == -1 and want[11, 18] == 3  # region 2 stops below 0.75: other rows go higher
    assert want[4, 34] == 2  # region 6 takes the colour of region 1
    assert image.get_extent() == [0.0, 1.0, 0.0, 1.0]
    assert image.cmap.name == "Dark2withWhite" and image.cmap.N == 6
    assert (image.norm.vmin, image.norm.vmax) == (-1, 6)
    assert image.get_interpolation() == "nearest"
    dark2 = plt.get_cmap("Dark2").colors
    assert image.cmap(image.norm(-1)) == (1.0, 1.0, 1.0, 1.0)
    for k in range(7):
        assert image.cmap(image.norm(k % 5 + 1))[:3] == pytest.approx(dark2[k % 5])

    texts = [(t.get_text(), *t.xy) for t in ax_main.texts]
    assert [t[0] for t in texts] == ["0", "1", "2", "3", "5", "6", "7"]  # region 4 paints nothing
    np.testing.assert_allclose([t[1:] for t in texts], [s[1:] for s in spots], rtol=1e-12)
    assert all(t.xycoords == "axes fraction" and t.get_color() == "black" for t in ax_main.texts)
    assert ax_main.get_title() == "Weak Regions"
    # the key names every region's number with its colour and its score on the sliced rows
    key = ax_main.get_legend()
    assert key.get_title().get_text() == "train MSE"
    stats = rec.value["weak_region_stats"]
    assert [t.get_text() for t in key.get_texts()] == [f"{k}: {r['train_MSE']:.4g}" for k, r in enumerate(stats)]
    assert [h.get_facecolor()[:3] for h in key.legend_handles] == [pytest.approx(dark2[k % 5]) for k in range(8)]


def test_two_feature_histograms_and_scaler(monkeypatch):
    calls = []
    monkeypatch.setattr(frailzone, "scale_plot_ticks", lambda **kw: calls.append(kw))
    rec = two_feature_record(sign=1, threshold=1.0)
    fig = FrailZone.plot_marginal(rec, grid=20, scaler="s")
    _, ax_bottom, ax_left = fig.axes
    x, scores = rec.value["x"], rec.value["scores"]
    for ax, col, sideways in [(ax_bottom, x[:, 0], False), (ax_left, x[:, 1], True)]:
        centres, density, share = reference_histogram(col, 10, scores <= 1.0)
        full, weak = ax.containers
        pos, _, length = bar_data(full, sideways)
        np.testing.assert_allclose(pos, centres, rtol=1e-12)
        np.testing.assert_allclose(length, density, rtol=1e-12)
        np.testing.assert_allclose(bar_data(weak, sideways)[2], (density * share)[~np.isnan(share)], rtol=1e-12)
        assert ax.get_legend() is None
    assert len(ax_left.containers[0]) == 5  # five distinct second-feature values
    assert ax_bottom.get_xlabel() == "a" and ax_left.get_ylabel() == "b"
    assert ax_bottom.get_ylabel() == "Density" and ax_left.get_xlabel() == "Density"
    assert calls == [{"ax": ax_bottom, "feature": "a", "scaler": "s", "axis": 0},
                     {"ax": ax_left, "feature": "b", "scaler": "s", "axis": 1}]


# ---- fitted analyses ------------------------------------------------------------------

@pytest.mark.parametrize("features, method", [(["X0"], "histogram"), (["X0"], "tree"),
                                              (["X0", "X1"], "histogram"), (["X0", "X1"], "tree")])
def test_fitted_analyses_draw(features, method):
    rng = np.random.default_rng(0)
    x = rng.uniform(-1, 1, (1500, 3))
    y = x[:, 0] + rng.normal(size=1500) * (0.1 + (x[:, 0] > 0.5) + (x[:, 1] > 0.3))
    perm = rng.permutation(1500)
    fz = FrailZone(None, features, method=method, min_samples=20, threshold=1.1)
    fz.fit(x, y, perm[:1000], perm[1000:], prediction=x[:, 0])
    fig = FrailZone.plot_marginal(fz.get_marginal(), grid=200)
    assert len(fig.axes) == 1 + len(features)
    n_regions = len(fz.diag.weak_region_stats)
    assert 0 < len(fig.axes[0].texts) <= n_regions


@pytest.mark.parametrize("change, kw, error", [
    ({}, {"grid": 0}, ValueError), ({}, {"grid": "a"}, TypeError), ({"bins": 0}, {}, ValueError),
    ({}, {"grid": 10**12}, ValueError), ({}, {"grid": 2**70}, ValueError),  # were std::bad_alloc
    ({"fidx": [5]}, {}, IndexError), ({"scores": np.ones(3)}, {}, ValueError),
    ({"x": np.zeros((0, 2))}, {}, ValueError), ({"x": np.c_[[0.0, np.nan, 1.0], [1.0, 2.0, 3.0]]}, {}, ValueError)])
def test_bad_records_raise_without_leaving_figures(change, kw, error):
    rec = one_feature_record()
    rec.value.update(change)
    with pytest.raises(error):
        FrailZone.plot_marginal(rec, **kw)
    assert plt.get_fignums() == []


def test_any_numeric_layout_of_x():
    rec = two_feature_record()
    want = np.asarray(FrailZone.plot_marginal(rec, grid=30).axes[0].images[0].get_array())
    x = np.asfortranarray(rec.value["x"])
    x.setflags(write=False)
    rec.value["x"] = x
    got = FrailZone.plot_marginal(rec, grid=30).axes[0].images[0].get_array()
    np.testing.assert_array_equal(got, want)

"""FrailScan: agreement with FrailZone, missing values and categories, significance, errors."""

import pickle

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest
from sklearn.base import clone

from tamrel.diagnoser import _scan
from tamrel.diagnoser.frailzone import FrailScan, FrailZone
from tamrel.exceptions import TamrelError
from tamrel.plots import render

_NUMBERS = ["lb1", "ub1", "lb2", "ub2", "#Test", "#Train"]


def _data(seed=0, n=2400, classify=False):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, 3))
    noise = 0.5 + 2.0 * (x[:, 1] > 0.7) + 1.0 * (x[:, 2] < -0.5)
    if classify:
        logit = x[:, 0] + rng.normal(size=n) * noise
        y = (logit > 0).astype(float)
        proba = 1 / (1 + np.exp(-x[:, 0]))
        return x, y, {"prediction": (proba > 0.5).astype(float), "prediction_proba": proba}
    y = x[:, 0] + rng.normal(size=n) * noise
    return x, y, {"prediction": x[:, 0]}


def _zone_table(features, x, y, tr, te, preds, **kw):
    zone = FrailZone(None, list(features), method="histogram", **kw)
    zone.fit(x, y, tr, te, **preds)
    return zone.output


@pytest.mark.parametrize("metric, classify, weighted, use_test", [
    ("MSE", False, False, False),
    ("MAE", False, True, True),
    ("LogLoss", True, True, False),
    ("ACC", True, False, True),
    ("AUC", True, False, False),
])
def test_regions_agree_with_frailzone(metric, classify, weighted, use_test):
    x, y, preds = _data(classify=classify)
    rng = np.random.default_rng(1)
    w = rng.uniform(0.2, 2.0, len(y)) if weighted else None
    perm = rng.permutation(len(y))
    tr, te = perm[:1600], perm[1600:]
    # the bootstrap of a metric that is not additive is slow: fewer slices there
    singles, pairs = (["X1"], [("X2", "X1")]) if metric == "AUC" else (None, [("X0", "X1"), ("X2", "X1")])
    settings = dict(threshold=1.05, bins=4 if metric == "AUC" else 6, min_samples=15, metric=metric,
                    use_test=use_test)
    scan = FrailScan(None, features=singles, pairs=pairs, **settings).fit(x, y, tr, te, sample_weight=w, **preds)
    _assert_agrees(scan, [(f,) for f in singles or ["X0", "X1", "X2"]] + pairs, x, y, tr, te,
                   dict(preds, sample_weight=w), settings)


# 20 groups: the flags without AVX2 registers; 70: group codes rather than table offsets, 16-bit tables
@pytest.mark.parametrize("bins", [7, 9, 11, 20, 70])
def test_values_on_bin_edges_agree_with_frailzone(bins):
    # whole numbers and tenths put many values exactly on (and next to) the bin edges of
    # each slice and of each group of a pair
    rng = np.random.default_rng(bins)
    n = 3000
    x = np.c_[rng.integers(0, 100, n), rng.integers(0, 99, n), 0.1 * rng.integers(0, 71, n)].astype(float)
    x[::7, 1] = np.nextafter(x[::7, 1], np.inf)
    y = x[:, 0] / 10 + rng.normal(size=n) * (1 + 2 * (x[:, 1] > 60))
    perm = rng.permutation(n)
    tr, te = perm[:2200], perm[2200:]
    settings = dict(threshold=1.02, bins=bins, min_samples=5, metric="MSE")
    pairs = [("X0", "X1"), ("X2", "X0"), ("X1", "X2")]
    scan = FrailScan(None, pairs=pairs, **settings).fit(x, y, tr, te, prediction=x[:, 0] / 10)
    _assert_agrees(scan, [("X0",), ("X1",), ("X2",)] + pairs, x, y, tr, te, {"prediction": x[:, 0] / 10}, settings)


def _assert_agrees(scan, slices, x, y, tr, te, preds, settings):
    name = scan.score_name
    for features in slices:
        ref = _zone_table(features, x, y, tr, te, preds, **settings)
        got = scan.output[scan.output["slice_features"] == features]
        assert set(got["kind"]) <= {"interval"}
        if ref is not None and scan.score_name in ("AUC", "F1", "R2"):
            # every weak bin is a region in FrailZone; the scan keeps those of min_samples rows
            sliced = "#Test" if settings.get("use_test") else "#Train"
            ref = ref[ref[sliced] >= settings["min_samples"]]
            ref = None if ref.empty else ref
        if ref is None:
            assert got.empty
            continue
        cols = _NUMBERS[:2] + (_NUMBERS[2:4] if len(features) == 2 else []) + _NUMBERS[4:]
        ref = ref.set_axis(cols + [f"test_{name}", f"train_{name}", "Gap"], axis=1)
        keys = cols[:4] if len(features) == 2 else cols[:2]
        got = got.sort_values(keys).reset_index(drop=True)
        ref = ref.sort_values(keys).reset_index(drop=True)
        assert len(got) == len(ref) > 0
        for col in ref.columns:
            np.testing.assert_allclose(got[col].to_numpy(float), ref[col].to_numpy(float), rtol=1e-12,
                                       err_msg=f"{features} {col}")


def _frame(seed=0, n=3000):
    rng = np.random.default_rng(seed)
    age = rng.uniform(20, 70, n)
    age[rng.random(n) < 0.08] = np.nan
    city = rng.choice(["north", "south", "east", "tiny1", "tiny2"], n, p=[0.4, 0.35, 0.242, 0.004, 0.004])
    plan = pd.Categorical(rng.choice(["basic", "plus"], n))
    noise = 0.5 + 1.5 * np.isnan(age) + 1.5 * np.isin(city, ["east", "tiny1", "tiny2"])
    y = rng.normal(size=n) * noise
    return pd.DataFrame({"age": age, "city": city, "plan": plan}), y


def test_missing_values_and_categories():
    df, y = _frame()
    tr, te = np.arange(2200), np.arange(2200, len(y))
    scan = FrailScan(None, threshold=1.1, min_samples=20).fit(df, y, tr, te, prediction=np.zeros(len(y)))
    out = scan.output
    missing = out[(out["kind"] == "missing") & (out["slice_features"] == ("age",))]
    assert len(missing) == 1 and missing["significant"].all()
    i = missing.index[0]
    rows = scan.get_target_rows(i)
    np.testing.assert_array_equal(rows, np.flatnonzero(df["age"].isna()))
    assert missing.loc[i, "#Train"] == np.isnan(df["age"].to_numpy()[tr]).sum()
    east = out[(out["kind"] == "category") & (out["slice_features"] == ("city",))]
    assert east.iloc[0]["categories"] == {"city": ("east",)} and east.iloc[0]["significant"]
    # the rare values share one slice; a pair of a category and a number bins the number per category
    cats = [c["city"] for c in out["categories"] if c and "city" in c]
    assert ("tiny1", "tiny2") in cats and ("tiny1",) not in cats
    pair = out[out["slice_features"] == ("age", "city")]
    assert not pair.empty and pair["lb2"].isna().all() and pair["lb1"].notna().all()
    assert all(set(c) == {"city"} for c in pair["categories"])
    for _, row in out.iterrows():
        assert (row["kind"] == "interval") == (row["categories"] is None and row["kind"] != "missing")
    assert out["q_value"].is_monotonic_increasing or out["q_value"].isna().any()
    # drill-down on an interval row: a FrailZone on that feature's present rows
    interval = out.index[out["kind"] == "interval"]
    if len(interval):
        zone = scan.frailzone(interval[0])
        assert isinstance(zone, FrailZone) and list(zone.slice_features) == list(out.loc[interval[0], "slice_features"])
    with pytest.raises(TamrelError, match="FrailZone slices intervals only"):
        scan.frailzone(i)


def test_significance_null_and_planted():
    rng = np.random.default_rng(7)
    any_null, found = 0, 0
    n = 500
    for k in range(120):
        x = rng.uniform(size=(n, 2))
        y = rng.normal(size=n)
        scan = FrailScan(None, pairs=None, bins=5, min_samples=15).fit(
            x, y, np.arange(350), np.arange(350, n), prediction=np.zeros(n))
        any_null += bool(scan.output["significant"].any())
        if k < 30:
            y = y * (1 + 2 * (x[:, 0] > 0.8))
            scan.fit(x, y, np.arange(350), np.arange(350, n), prediction=np.zeros(n))
            top = scan.output.iloc[0]
            found += bool(top["significant"]) and top["slice_features"] == ("X0",) and top["lb1"] >= 0.7
    assert any_null / 120 <= 0.08
    assert found >= 27


@pytest.mark.parametrize("kwargs, fit_kwargs, message", [
    ({"features": ["X0", "nope"]}, {}, r"Unknown feature 'nope'; available features: \['X0', 'X1', 'X2'\]"),
    ({"pairs": [("X0", "X0")]}, {}, "names the feature 'X0' twice"),
    ({"alpha": 1.0}, {}, r"alpha must lie in \(0, 1\)"),
    ({"alpha": 0}, {}, r"alpha must lie in \(0, 1\)"),
    ({"bins": 0}, {}, "bins must be a positive integer"),
    ({"min_samples": 0.5}, {}, "min_samples must be at least 1"),
    ({}, {"train_idx": []}, "The train subset is empty"),
    ({"use_test": True}, {"test_idx": []}, "The test subset is empty"),
    ({"metric": "AUC"}, {}, "needs prediction_proba"),
])
def test_bad_input(kwargs, fit_kwargs, message):
    x, y, preds = _data(n=200)
    args = dict(x=x, y=y, train_idx=np.arange(150), test_idx=np.arange(150, 200), **preds)
    args.update(fit_kwargs)
    with pytest.raises((TamrelError, ValueError), match=message):
        FrailScan(None, **kwargs).fit(**args)
    # an infinite value among the rows that set the fine codes' grid, and beyond them
    for n in (200, 9001):
        x, y, preds = _data(n=n)
        x[3, 1] = np.inf
        with pytest.raises(ValueError, match="'X1' holds infinite values"):
            FrailScan(None).fit(x, y, np.arange(n - 50), np.arange(n - 50, n), **preds)


def test_threads_estimator_surface_and_figure():
    df, y = _frame(seed=3)
    tr, te = np.arange(2200), np.arange(2200, len(y))
    w = np.random.default_rng(0).uniform(0.5, 1.5, len(y))
    fits = [FrailScan(None, threshold=1.05, n_jobs=j).fit(df, y, tr, te, prediction=np.zeros(len(y)),
                                                          sample_weight=w) for j in (1, 2)]
    pd.testing.assert_frame_equal(fits[0].output, fits[1].output)
    scan = fits[1]
    assert clone(scan).get_params() == scan.get_params()
    again = pickle.loads(pickle.dumps(scan))
    pd.testing.assert_frame_equal(again.output, scan.output)
    np.testing.assert_array_equal(again.get_target_rows(0), scan.get_target_rows(0))
    result = scan.get_result()
    assert result.key == "frailzone_scan" and result.value["data"] is scan.output
    fig = render(result)
    assert len(fig.axes[0].get_yticklabels()) == min(15, len(scan.output))
    plt.close("all")


def test_passes_merge_over_row_blocks():
    # the kernels' passes run per block of rows and merge to the result of all rows at once
    rng = np.random.default_rng(5)
    m = 3000
    num = np.asfortranarray(rng.normal(size=(m, 2)))
    num[::17, 1] = np.nan
    scores, w = rng.exponential(size=m), rng.uniform(0.5, 2.0, m)
    single = [_scan._ScanUnit(numeric=True, cut_col=0, missing_cell=True)]
    no_codes = np.zeros((m, 0), dtype=np.int32, order="F")
    single_ranges = _scan._scan_ranges(num, no_codes, single, 6)
    (edges, lo, hi), = _scan._scan_edges(single, single_ranges, 6)
    codes = _scan._scan_codes(num, [0], edges, lo, hi)
    units = [_scan._ScanUnit(cut_col=1, missing_cell=True),
             _scan._ScanUnit(group_col=0, n_groups=len(edges[0]) - 1, cut_col=1)]
    blocks = (slice(0, 1100), slice(1100, m))
    whole = _scan._scan_ranges(num, codes, units, 6)
    parts = [_scan._scan_ranges(num[b], codes[b], units, 6) for b in blocks]
    merged = parts[0].merge(parts[1])
    for u, v in zip(whole.__getstate__(), merged.__getstate__()):
        for a, b in zip(u, v):  # range and counts equal; the distinct values kept may differ, not their number
            np.testing.assert_array_equal(a[:6], b[:6])
            assert len(a) == len(b)
    sums = _scan._scan_sums(num, codes, units, whole, 6, scores, w, True)
    halves = [_scan._scan_sums(num[b], codes[b], units, whole, 6, scores[b], w[b], True) for b in blocks]
    together = halves[0].merge(halves[1])
    for k in range(len(units)):
        a, b = sums.cells(k), together.cells(k)
        for field in a:
            np.testing.assert_allclose(a[field], b[field], rtol=1e-13)
    # the sums against NumPy on the rows of each cell (the kernel is not compared with itself)
    cells = sums.cells(0)
    present = ~np.isnan(num[:, 1])
    missing = cells["n"][-1], cells["w"][-1], cells["ws"][-1], cells["ws2"][-1], cells["w2"][-1]
    ref = (~present).sum(), w[~present].sum(), (w * scores)[~present].sum(), (w * scores ** 2)[~present].sum(), \
        (w ** 2)[~present].sum()
    np.testing.assert_allclose(missing, ref, rtol=1e-12)
    assert cells["n"][:-1].sum() == present.sum()
    # pickled sums and sketches (Dask hands them from the workers) are the same objects
    for obj in (sums, whole):
        again = pickle.loads(pickle.dumps(obj))
        assert again.__getstate__().__repr__() == obj.__getstate__().__repr__()
    # fine codes taken once give the same passes; codes of other rows or other objects are refused
    fine = _scan._scan_fine(num)
    again = _scan._scan_sums(num, codes, units, whole, 6, scores, w, True, None, fine)
    for k in range(len(units)):
        for field, values in sums.cells(k).items():
            np.testing.assert_array_equal(values, again.cells(k)[field])
    with pytest.raises(ValueError, match="do not fit num"):
        _scan._scan_ranges(num[:10], codes[:10], units, 6, None, fine)
    with pytest.raises(TypeError, match="_scan_fine"):
        _scan._scan_codes(num, [0], edges, lo, hi, None, object())
    with pytest.raises(TypeError, match="_ScanUnit"):
        _scan._scan_ranges(num, codes, [(-1, 1, True, 0, 0, True)], 6)
    # a single unit's sums pass writes the bin codes _scan_codes gives, into a column no unit reads
    room = np.full((m, 2), 7, dtype=np.int32, order="F")
    for f in (None, fine):
        _scan._scan_sums(num, room, single, single_ranges, 6, scores, None, False, None, f, [1])
        np.testing.assert_array_equal(room[:, 1], codes[:, 0])
    frozen = room.copy(order="F")
    frozen.flags.writeable = False
    for args, message in [((room, units, whole, [0, -1]), "no other unit"), ((room, units, whole, [-1, 1]), "ungrouped"),
                          ((frozen, single, single_ranges, [1]), "writable"),
                          ((room, single, single_ranges, [1, 1]), "one entry")]:
        with pytest.raises(ValueError, match=message):
            _scan._scan_sums(num, args[0], args[1], args[2], 6, scores, None, False, None, None, args[3])


def test_sketches_merge_over_blocks_that_lack_a_group():
    # a group with no row in one block: its sketch there is empty and must not pull the
    # merged range towards the empty sketch's zeros
    rng = np.random.default_rng(8)
    m = 2000
    num = np.asfortranarray(5.0 + rng.uniform(size=(m, 1)))
    group = np.where(np.arange(m) < 1000, 0, rng.integers(0, 3, m)).astype(np.int32)
    codes = np.asfortranarray(group[:, None])
    unit = [_scan._ScanUnit(group_col=0, n_groups=3, cut_col=0)]
    whole = _scan._scan_ranges(num, codes, unit, 6)
    halves = [_scan._scan_ranges(num[b], codes[b], unit, 6) for b in (slice(0, 1000), slice(1000, m))]
    for merged in (halves[0].merge(halves[1]), halves[1].merge(halves[0])):  # the empty one on either side
        for a, b in zip(whole.__getstate__()[0], merged.__getstate__()[0]):
            np.testing.assert_array_equal(a[:6], b[:6])
    assert halves[0].__getstate__()[0][1][2] == 0  # group 1 is empty in the first block
    for g in range(3):
        inside = num[group == g, 0]
        np.testing.assert_array_equal(whole.__getstate__()[0][g][:2], [inside.min(), inside.max()])


def test_weak_category_and_missing_cells_of_exactly_min_samples_rows():
    rng = np.random.default_rng(9)
    n = 1200
    city = np.array(["a"] * (n - 40) + ["b"] * 40, dtype=object)
    age = rng.uniform(size=n)
    age[:30] = np.nan
    y = rng.normal(size=n) * np.where((city == "b") | np.isnan(age), 4.0, 1.0)
    frame = pd.DataFrame({"age": age, "city": city})
    sliced = np.r_[np.arange(0, 25), np.arange(40, n - 40), np.arange(n - 40, n - 15)]  # 25 missing, 25 of "b"
    rest = np.setdiff1d(np.arange(n), sliced)
    out = FrailScan(None, threshold=1.1, min_samples=25, pairs=None).fit(
        frame, y, sliced, rest, prediction=np.zeros(n)).output
    kinds = {(r["kind"], r["slice_features"]) for _, r in out.iterrows()}
    assert ("missing", ("age",)) in kinds and ("category", ("city",)) in kinds
    assert set(out.loc[out["kind"] != "interval", "#Train"]) == {25}

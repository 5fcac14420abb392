"""FrailScan's rules on ordinary and awkward data: members, weights, ties, settings, metrics,
drill-down, repeated row sets, masks and determinism."""

import warnings

import numpy as np
import pandas as pd
import pytest

from tamrel.diagnoser import scan_table
from tamrel.diagnoser.frailzone import FrailScan, FrailZone, TreeSlicing
from tamrel.diagnoser.scan_units import Condition
from tamrel.exceptions import TamrelError


@pytest.fixture(autouse=True)
def _quiet():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        yield


def _frame(n=3000, seed=0):
    rng = np.random.default_rng(seed)
    city = rng.choice(["north", "south", "east"], n).astype(object)
    city[rng.random(n) < 0.1] = None
    age = rng.uniform(20, 70, n)
    noise = 0.5 + 2.0 * pd.isna(city) + 1.5 * (age > 60)
    y = rng.normal(size=n) * noise
    return pd.DataFrame({"age": age, "city": city}), y


def _split(n, cut=0.7):
    return np.arange(int(n * cut)), np.arange(int(n * cut), n)


@pytest.mark.parametrize("metric", ["MSE", "R2"])
def test_missing_category_rows_are_members(metric):
    # a categorical column's missing values are a slice counted on codes; its rows are members
    df, y = _frame()
    tr, te = _split(len(y))
    scan = FrailScan(None, metric=metric, threshold=1.1, pairs=None).fit(df, y, tr, te, prediction=np.zeros(len(y)))
    out = scan.output
    i = out.index[(out["kind"] == "missing") & (out["slice_features"] == ("city",))][0]
    rows = scan.get_target_rows(i)
    np.testing.assert_array_equal(rows, np.flatnonzero(df["city"].isna()))
    assert out.loc[i, "#Train"] + out.loc[i, "#Test"] == len(rows)
    assert np.isfinite(out.loc[i, f"test_{scan.score_name}"])


def test_weights_scale_free_and_negative_rows_left_out():
    df, y = _frame(seed=1)
    tr, te = _split(len(y))
    rng = np.random.default_rng(2)
    w = rng.uniform(0.5, 2.0, len(y))
    kw = dict(threshold=1.1, pairs=None)
    ref = FrailScan(None, **kw).fit(df, y, tr, te, prediction=np.zeros(len(y)), sample_weight=w).output
    assert ref["significant"].any()
    for factor in (1e160, 1e300, 1e-310):  # w^2 would overflow, or the weights are subnormal
        got = FrailScan(None, **kw).fit(df, y, tr, te, prediction=np.zeros(len(y)), sample_weight=w * factor).output
        pd.testing.assert_frame_equal(got, ref, check_exact=False, rtol=1e-9)
    # a negative weight: the row is left out, as if it were in neither subset
    neg = w.copy()
    neg[:40] = -1.0
    got = FrailScan(None, **kw).fit(df, y, tr, te, prediction=np.zeros(len(y)), sample_weight=neg).output
    want = FrailScan(None, **kw).fit(df, y, tr[40:], te, prediction=np.zeros(len(y)), sample_weight=w).output
    pd.testing.assert_frame_equal(got, want)
    for bad, error, message in [(np.array(["1.5"] * len(y)), TypeError, "sample_weight must be numeric"),
                                (np.array(["2"] * len(y), dtype=object), TypeError, "sample_weight must be numeric"),
                                (np.full(len(y), np.inf), ValueError, "finite")]:
        with pytest.raises(error, match=message):
            FrailScan(None).fit(df, y, tr, te, prediction=np.zeros(len(y)), sample_weight=bad)


@pytest.mark.parametrize("seed", range(6))
def test_ties_at_threshold_one_decided_alike(seed):
    # with threshold 1 a slice of every sliced row scores the overall score: weak, everywhere
    rng = np.random.default_rng(seed)
    n = 200
    x = np.c_[np.full(n, 3.0), rng.uniform(size=n)]
    y = rng.normal(size=n) * rng.uniform(0.1, 10.0, n)
    w = rng.uniform(0.1, 3.0, n)
    tr, te = _split(n)
    scan = FrailScan(None, threshold=1.0, bins=1, min_samples=1, pairs=None).fit(
        x, y, tr, te, prediction=np.zeros(n), sample_weight=w)
    # both features' one slice holds every sliced row (X1's may hold fewer tested rows)
    rows = scan.output[scan.output["#Train"] == len(tr)]
    assert ("X0",) in set(rows["slice_features"])
    for i in rows.index:
        assert scan.frailzone(int(i)).output.iloc[0]["#Train"] == len(tr)
    for bins, feature in ((5, "X0"), (1, "X1")):
        zone = FrailZone(None, [feature], threshold=1.0, bins=bins, min_samples=1, method="histogram")
        zone.fit(x, y, tr, te, prediction=np.zeros(n), sample_weight=w)
        assert zone.output is not None and len(zone.output) == 1


@pytest.mark.parametrize("kwargs, error, message", [
    ({"bins": None}, TypeError, "bins must be a positive integer"),
    ({"pairs": True}, TypeError, "pairs must be"),
    ({"pairs": 2.0}, TypeError, "pairs must be"),
    ({"features": 5}, TypeError, "features must be a feature name or a list"),
    ({"pairs": [("X0", "X1"), ["X0", "X1"]]}, TamrelError, "more than once"),
    ({"pairs": [("X0", "X1"), ("X1", "X0")]}, TamrelError, "more than once"),
    ({"use_test": "yes"}, ValueError, "use_test must be one of"),
    ({"null": "both"}, ValueError, "null must be one of"),
    ({"weights": 1}, TypeError, "weights must be one of"),
    ({"n_jobs": 0}, ValueError, "n_jobs must be at least 1"),
    ({"verbose": "no"}, TypeError, "verbose must be True or False"),
])
def test_settings_refused_by_name(kwargs, error, message):
    x = np.random.default_rng(0).normal(size=(100, 2))
    with pytest.raises(error, match=message):
        FrailScan(None, **kwargs).fit(x, x[:, 0], np.arange(70), np.arange(70, 100), prediction=np.zeros(100))


def test_undefined_overall_score_refused():
    rng = np.random.default_rng(0)
    x = rng.normal(size=(200, 2))
    with pytest.raises(TamrelError, match="overall AUC of the training rows is not a number"):
        FrailScan(None, metric="AUC").fit(x, np.zeros(200), np.arange(150), np.arange(150, 200),
                                          prediction_proba=rng.uniform(size=200))
    with pytest.raises(TamrelError, match="overall R2"):  # one sliced row
        FrailScan(None, metric="R2").fit(x, rng.normal(size=200), np.arange(1), np.arange(150, 200),
                                         prediction=rng.normal(size=200))


def test_huge_constant_column_keeps_the_others():
    rng = np.random.default_rng(0)
    n = 600
    x = np.c_[np.full(n, 2.0 ** 60), rng.uniform(size=n)]
    y = rng.normal(size=n) * (1 + 3 * (x[:, 1] > 0.8))
    scan = FrailScan(None, threshold=1.1).fit(x, y, np.arange(400), np.arange(400, n), prediction=np.zeros(n))
    assert ("X1",) in set(scan.output["slice_features"])


@pytest.mark.parametrize("metric", ["AUC", "R2", "F1"])
def test_set_metrics_keep_min_samples_and_clip_bounds(metric):
    rng = np.random.default_rng(3)
    n = 1500
    x = np.c_[rng.uniform(size=n), np.full(n, 4.0)]
    label = (rng.uniform(size=n) < 1 / (1 + np.exp(-3 * (x[:, 0] - 0.5)))).astype(int)
    proba = np.clip(x[:, 0] + rng.normal(size=n) * 0.3 * (x[:, 0] > 0.7), 0, 1)
    kw = {"AUC": dict(prediction_proba=proba), "F1": dict(prediction=(proba > 0.5).astype(int)),
          "R2": dict(prediction=proba)}[metric]
    y = label if metric != "R2" else x[:, 0] + rng.normal(size=n) * 0.2
    scan = FrailScan(None, metric=metric, threshold=1.01, bins=8, min_samples=60, pairs=None).fit(
        x, y, np.arange(1000), np.arange(1000, n), **kw)
    assert (scan.output["#Train"] >= 60).all()
    const = scan.output[scan.output["slice_features"] == ("X1",)]
    assert ((const["lb1"] == 4.0) & (const["ub1"] == 4.0)).all()


def test_direction_of_the_score_orders_the_table():
    # higher is better (AUC): the weakest regions come first, and the drill-down shows them
    rng = np.random.default_rng(4)
    n = 6000
    x = rng.uniform(size=(n, 2))
    logit = 4 * (x[:, 0] - 0.5)
    y = (rng.uniform(size=n) < 1 / (1 + np.exp(-logit))).astype(int)
    proba = np.where(x[:, 1] > 0.8, rng.uniform(size=n), 1 / (1 + np.exp(-logit)))
    scan = FrailScan(None, metric="AUC", bins=5).fit(x, y, np.arange(4000), np.arange(4000, n),
                                                     prediction_proba=proba)
    top = scan.output.iloc[0]
    assert top["significant"] and top["test_AUC"] < scan._scan_overall
    assert "X1" in top["slice_features"]
    tested = scan.output[scan.output["p_value"].notna()]
    assert tested["q_value"].is_monotonic_increasing


def test_classifier_defaults_and_string_labels():
    from sklearn.linear_model import LogisticRegression

    rng = np.random.default_rng(5)
    n = 1200
    x = rng.normal(size=(n, 2))
    y = np.where(x[:, 0] + rng.normal(size=n) > 0, "yes", "no")
    model = LogisticRegression().fit(x[:800], y[:800])
    scan = FrailScan(model).fit(x, y, np.arange(800), np.arange(800, n))
    assert scan.task_type == "classification" and scan.score_name == "LogLoss"
    f1 = FrailScan(model, metric="F1", threshold=1.01).fit(x, y, np.arange(800), np.arange(800, n))
    assert f1.score_name == "F1" and np.isfinite(f1._scan_overall)


def test_drill_down_sees_every_column_and_opens_on_the_region():
    df, y = _frame(seed=6)
    df["noise"] = np.random.default_rng(7).normal(size=len(y))
    tr, te = _split(len(y))
    scan = FrailScan(None, threshold=1.1).fit(df, y, tr, te, prediction=np.zeros(len(y)))
    out = scan.output
    i = int(out.index[(out["kind"] == "interval") & (out["slice_features"] == ("age",))][0])
    zone = scan.frailzone(i)
    assert len(zone.output) == 1
    assert zone.output.iloc[0]["#Train"] == out.loc[i, "#Train"]
    assert {"age", "city", "noise"} <= set(zone.get_distance().value["x"])
    zone.get_shift(show_feature="noise")


def test_each_set_of_rows_reported_once():
    # the pair's second feature spans its whole range inside the category: the same rows as
    # the category alone
    df, y = _frame(seed=8)
    df["city"] = df["city"].fillna("north")
    y = np.random.default_rng(9).normal(size=len(y)) * np.where(df["city"] == "east", 3.0, 1.0)
    tr, te = _split(len(y))
    scan = FrailScan(None, threshold=1.2, bins=1).fit(df, y, tr, te, prediction=np.zeros(len(y)))
    out = scan.output
    keys = [tuple(scan.get_target_rows(i)) for i in range(len(out))]
    assert len(set(keys)) == len(keys)
    assert any(f == ("city",) for f in out["slice_features"])


def _iv(feature, lb, ub, closed=False):
    return Condition("interval", feature, lb, ub, closed)


@pytest.mark.parametrize("a, b, expected", [
    ([_iv("f", 0, 1)], [_iv("f", 0, 1, closed=True)], True),
    ([_iv("f", 0, 1, closed=True)], [_iv("f", 0, 1)], False),
    ([_iv("f", 0.5, 1, closed=True)], [_iv("f", 0, 2)], True),
    ([_iv("f", -0.5, 1)], [_iv("f", 0, 2)], False),
    ([_iv("f", 0, 1), _iv("g", 3, 4)], [_iv("f", 0, 1)], True),
    ([_iv("f", 0, 1)], [_iv("f", 0, 1), _iv("g", 3, 4)], False),
    ([_iv("g", 0, 1)], [_iv("f", 0, 1)], False),
    ([Condition("codes", "c", codes=(1,))], [Condition("codes", "c", codes=(1, 2))], True),
    ([Condition("codes", "c", codes=(1, 3))], [Condition("codes", "c", codes=(1, 2))], False),
    ([Condition("missing", "f")], [Condition("missing", "f")], True),
    ([Condition("missing", "f")], [_iv("f", -np.inf, np.inf, closed=True)], False),
])
def test_condition_implication(a, b, expected):
    assert scan_table.implies(a, b) is expected


class _Found:
    def __init__(self, conditions, n_sliced):
        self.conditions = conditions
        self.rows = [{"slice_features": tuple(dict.fromkeys(c.feature for c in cs))} for cs in conditions]
        self.order = [(k, 0, 0) for k in range(len(conditions))]
        self.n_sliced = np.asarray(n_sliced)


@pytest.mark.parametrize("prints, dropped", [((7, 7), [3]), ((7, 8), [])])
def test_repeated_rows_proven_by_conditions_or_fingerprints(prints, dropped):
    # 0 and 1: a pair inside a bin of its first feature with the bin's counts, proven equal
    # without fingerprints; 2 and 3: two unrelated bins with equal counts, told by fingerprints
    found = _Found([[_iv("f", 0, 1)], [_iv("f", 0, 1), _iv("g", 0, 5, closed=True)],
                    [_iv("f", 1, 2)], [_iv("g", 5, 6, closed=True)]], [10, 10, 20, 20])
    asked = []

    def fingerprints(positions):
        asked.extend(positions)
        return [dict(zip((2, 3), prints))[i] for i in positions]

    sums = np.array([1.0, 1.0, 2.0, 2.0])
    out = scan_table.duplicates(found, np.array([5, 5, 6, 6]), sums, sums, fingerprints)
    assert out.tolist() == [1] + dropped
    assert sorted(asked) == [2, 3]
    # other counts on the tested rows are other rows whatever the conditions say
    out = scan_table.duplicates(found, np.array([5, 4, 6, 6]), sums, sums, fingerprints)
    assert out.tolist() == dropped


def test_boolean_masks_as_in_memory_subsets():
    df, y = _frame(seed=10)
    tr, te = _split(len(y))
    mask_tr, mask_te = np.zeros(len(y), bool), np.zeros(len(y), bool)
    mask_tr[tr], mask_te[te] = True, True
    a = FrailScan(None, threshold=1.1).fit(df, y, tr, te, prediction=np.zeros(len(y))).output
    b = FrailScan(None, threshold=1.1).fit(df, y, mask_tr, mask_te, prediction=np.zeros(len(y))).output
    pd.testing.assert_frame_equal(a, b)
    with pytest.raises(TamrelError, match="np.flatnonzero"):
        FrailZone(None, ["age"]).fit(df[["age"]], y, mask_tr, mask_te, prediction=np.zeros(len(y)))


def test_tree_slicing_is_reproducible():
    rng = np.random.default_rng(11)
    for _ in range(30):
        x = rng.integers(0, 3, size=(30, 2)).astype(float)
        y = rng.normal(size=30)
        fits = [FrailZone(None, ["X0", "X1"], method="tree", min_samples=1, threshold=0.9) for _ in range(2)]
        for f in fits:
            f.fit(x, y, np.arange(20), np.arange(20, 30), prediction=np.zeros(30))
        a, b = (f.output for f in fits)
        assert (a is None) == (b is None)
        if a is not None:
            pd.testing.assert_frame_equal(a, b)
    assert TreeSlicing(random_state=3).tree_estimator.random_state == 3


def test_q_values_never_below_p_values():
    rng = np.random.default_rng(12)
    x = rng.uniform(size=(4000, 3))
    y = rng.normal(size=4000) * (1 + (x[:, 0] > 0.5))
    out = FrailScan(None, threshold=1.01).fit(x, y, np.arange(3000), np.arange(3000, 4000),
                                              prediction=np.zeros(4000)).output
    tested = out[out["p_value"].notna()]
    assert (tested["q_value"] >= tested["p_value"]).all() and len(tested) > 10


def test_comparison_finds_where_the_model_is_worse():
    import scipy.stats

    from tamrel.diagnoser.frailzone import FrailCompare

    rng = np.random.default_rng(13)
    n = 4000
    x = pd.DataFrame({"a": rng.normal(size=n), "b": rng.uniform(size=n)})
    y = x["a"].to_numpy() + rng.normal(size=n) * 0.5
    baseline = x["a"].to_numpy()
    model = baseline + np.where(x["b"] > 0.8, 1.0, 0.0)  # the same but for b > 0.8
    tr, te = np.arange(3000), np.arange(3000, n)
    compare = FrailCompare(None, bins=5).fit(x, y, tr, te, prediction=model, baseline_prediction=baseline)
    out = compare.output
    top = out.iloc[0]
    assert top["significant"] and top["slice_features"] == ("b",) and top["lb1"] >= 0.79 and top["Diff"] > 0
    # only where the two differ: regions are candidates where the model is worse (d > 0), not equal
    assert (out["Diff"].dropna() > 0).all()
    parts = [i for i in range(len(out)) if out.loc[i, "#Train"] < len(tr)]  # the whole: worse on average
    assert all((x["b"].to_numpy()[compare.get_target_rows(i)] > 0.59).all() for i in parts)
    rows = np.intersect1d(compare.get_target_rows(0), te)
    d = (y[rows] - model[rows]) ** 2 - (y[rows] - baseline[rows]) ** 2
    assert top["p_value"] == pytest.approx(scipy.stats.ttest_1samp(d, 0, alternative="greater").pvalue, rel=1e-9)
    assert top["Diff"] == pytest.approx(d.mean(), rel=1e-12)
    with pytest.raises(TamrelError, match="baseline's prediction: pass it"):  # neither given nor a model
        FrailCompare(None, bins=5).fit(x, y, tr, te, prediction=model, baseline_prediction_proba=baseline)


def test_overfit_model_warns_and_split_finds_on_test_rows():
    from tamrel.exceptions import TamrelWarning

    rng = np.random.default_rng(14)
    n = 3000
    x = rng.uniform(size=(n, 2))
    y = rng.normal(size=n) * (1 + 2 * (x[:, 0] > 0.8))
    pred = np.where(np.arange(n) < 2000, y, 0.0)  # perfect on the training rows
    tr, te = np.arange(2000), np.arange(2000, n)
    with pytest.warns(TamrelWarning, match='use_test="split"'):
        FrailScan(None, pairs=None).fit(x, y, tr, te, prediction=pred)
    with warnings.catch_warnings():
        warnings.simplefilter("error", TamrelWarning)
        out = FrailScan(None, pairs=None, use_test="split").fit(x, y, tr, te, prediction=pred).output
    top = out.iloc[0]
    assert top["significant"] and top["slice_features"] == ("X0",) and top["lb1"] >= 0.75
    assert top["#Train"] + top["#Test"] <= (x[te, 0] >= top["lb1"]).sum()  # both halves are test rows


def test_progress_bar_steps_through_the_passes(monkeypatch):
    import tqdm.auto

    from tamrel.diagnoser import scan_run

    bars = []

    class Bar:
        def __init__(self, total, desc, leave):
            self.total, self.n, self.closed = total, 0, False
            bars.append(self)

        def update(self, n=1):
            self.n += n

        def close(self):
            self.closed = True

    monkeypatch.setattr(tqdm.auto, "tqdm", Bar)
    monkeypatch.setattr(scan_run, "_interactive", lambda: True)
    monkeypatch.setattr(scan_run, "_PROGRESS_WORK", 0)
    df, y = _frame(n=400)
    FrailScan(None).fit(df, y, np.arange(300), np.arange(300, 400), prediction=np.zeros(400))
    FrailScan(None, verbose=False).fit(df, y, np.arange(300), np.arange(300, 400), prediction=np.zeros(400))
    assert len(bars) == 1 and bars[0].n == bars[0].total == scan_run.PASS_STEPS + 1 and bars[0].closed


def test_rule_of_each_region_selects_its_rows_in_any_frame():
    from tamrel.diagnoser.scan_units import rule_mask

    df, y = _frame(seed=15)
    df["grade"] = pd.Categorical(np.random.default_rng(16).choice(["x", "y", "z"], len(y)))
    tr, te = _split(len(y))
    scan = FrailScan(None, threshold=1.05, bins=4).fit(df, y, tr, te, prediction=np.zeros(len(y)))
    seen = np.zeros(len(y), dtype=bool)
    seen[np.r_[tr, te]] = True
    kinds = set()
    for i in range(len(scan.output)):
        rule = scan.get_rule(i)
        kinds |= {part["kind"] for part in rule}
        np.testing.assert_array_equal(np.flatnonzero(rule_mask(rule, df) & seen), scan.get_target_rows(i))
        half = df.iloc[::2]  # a frame of other rows (a partition, say)
        np.testing.assert_array_equal(np.flatnonzero(rule_mask(rule, half)),
                                      np.flatnonzero(rule_mask(rule, df)[::2]))
    assert kinds == {"interval", "missing", "categories"}
    with pytest.raises(IndexError):
        scan.get_rule(len(scan.output))

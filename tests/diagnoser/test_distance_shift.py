"""FrailZone.get_distance and get_shift: the weak sample of the test rows, rankings, records."""

import numpy as np
import pandas as pd
import pytest

import tamrel.diagnoser.frailzone as frailzone
from tamrel.diagnoser.frailzone import FrailZone
from tamrel.diagnoser.utils import calculate_distance, category_distance
from tamrel.exceptions import TamrelError, TamrelInfo

SETTINGS = ["slice_features", "bins", "threshold_value", "method", "min_samples", "metric"]
REMAINING = "Distribution Shift: Weak vs Remaining Regions"
FULL = "Distribution Shift: Weak vs Full Regions"


def make_data(n=1200, n_features=4, seed=0):
    """X0 takes the values 0..9 (10 only in the test rows); errors are large from X0 = 8 on."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, n_features))
    x[:, 0] = rng.integers(0, 10, n)
    y = x[:, 1] + rng.normal(size=n) * (0.2 + 2.0 * (x[:, 0] >= 8) + 1.5 * (x[:, 2] > 1.0))
    perm = rng.permutation(n)
    train, test = perm[: n * 3 // 4], perm[n * 3 // 4:]
    x[test[:15], 0] = 10.0  # above the sliced maximum: outside every region ending there
    return x, y, train, test


def fitted(features=("X0",), use_test=False, n_features=4, feature_types=None, **settings):
    x, y, train, test = make_data(n_features=n_features)
    fz = FrailZone(None, list(features), min_samples=10, use_test=use_test, **settings)
    fz.fit(x, y, train, test, prediction=x[:, 1], feature_types=feature_types)
    return fz


def region_mask(fz, reg, X):
    """Rows of X inside one region, by the closed bounds decided on the sliced data."""
    sliced, fidx = fz.diag.x, fz.diag.fidx
    c1 = reg["ub1"] == sliced[:, fidx[0]].max()
    inside = lambda m: (m[:, fidx[0]] >= reg["lb1"]) & (m[:, fidx[0]] <= reg["ub1"] if c1 else m[:, fidx[0]] < reg["ub1"])
    mask = inside(X)
    if len(fidx) > 1:
        c2 = reg["ub2"] == sliced[inside(sliced), fidx[1]].max()
        mask &= (X[:, fidx[1]] >= reg["lb2"]) & (X[:, fidx[1]] <= reg["ub2"] if c2 else X[:, fidx[1]] < reg["ub2"])
    return mask


def reference_split(fz):
    """Weak sample and remaining rows of the test subset."""
    X = fz.x[fz.test_idx]
    weak = np.concatenate([np.where(region_mask(fz, reg, X))[0] for reg in fz.diag.weak_region_stats])
    return X, weak, np.setdiff1d(np.arange(len(X)), weak)


@pytest.mark.parametrize("features, use_test", [(["X0"], False), (["X0"], True), (["X0", "X2"], False)])
def test_weak_sample_of_the_test_rows(features, use_test):
    fz = fitted(features, use_test=use_test)
    assert fz.diag.weak_region_stats
    X, weak, remaining = reference_split(fz)
    frame = fz.get_shift(compare_to="remaining").value["data"]
    names = fz.feature_names
    n_rest = len(remaining)
    np.testing.assert_array_equal(frame[names].to_numpy()[:n_rest], X[remaining])
    np.testing.assert_array_equal(frame[names].to_numpy()[n_rest:], X[weak])
    if use_test:  # the sliced rows are the test rows: the weak sample is get_target_idx
        np.testing.assert_array_equal(weak, fz.get_target_idx())


def test_region_ending_at_the_sliced_maximum_takes_test_rows_there():
    fz = fitted()
    top = [r for r in fz.diag.weak_region_stats if r["ub1"] == 9.0]
    assert top and fz.diag.x[:, 0].max() == 9.0
    X, weak, _ = reference_split(fz)
    assert (X[weak, 0] == 9.0).any() and not (X[weak, 0] == 10.0).any()


def test_distance_record_matches_service():
    fz = fitted()
    X, weak, remaining = reference_split(fz)
    for compare_to, title, base in [("remaining", REMAINING, X[remaining]), ("full", FULL, X)]:
        result = fz.get_distance("quantile", "WD1", compare_to)
        assert result.key == "resilience_shift_histogram"
        v = result.value
        assert list(v) == ["purpose", "distance_metric", *SETTINGS, "title", "x", "y"]
        assert (v["purpose"], v["distance_metric"], v["title"]) == ("diagnose", "WD1", title)
        assert v["threshold_value"] == 1.2 and v["slice_features"] is fz.slice_features
        d = [calculate_distance(base[:, i], X[weak, i], buckettype="quantile", method="WD1") for i in range(4)]
        order = np.argsort(d, kind="stable")[::-1]
        assert v["x"] == [fz.feature_names[i] for i in order] and isinstance(v["x"], list)
        np.testing.assert_array_equal(v["y"], np.round(np.asarray(d)[order], 4))


def test_distance_ranking(monkeypatch):
    values = [0.5, 0.00125, np.nan, 0.5, 1.00005, 0.25, 0.00135, 0.7, 0.1, 0.2, 0.3, 0.5]
    calls = []

    def fake(a, b, buckettype, method):
        calls.append((len(a), len(b), buckettype, method))
        return values[len(calls) - 1]

    fz = fitted(n_features=12)
    monkeypatch.setattr(frailzone, "calculate_distance", fake)
    v = fz.get_distance().value
    X, weak, remaining = reference_split(fz)
    assert calls == [(len(remaining), len(weak), "uniform", "PSI")] * 12
    order = np.argsort(values, kind="stable")[::-1][:10]
    assert v["x"] == [f"X{i}" for i in order]
    assert v["x"][:4] == ["X2", "X4", "X7", "X11"]  # NaN first; ties: the later feature first
    np.testing.assert_array_equal(v["y"], np.round(np.asarray(values)[order], 4))
    assert v["y"].dtype == np.float64 and len(v["y"]) == 10


def test_shift_record():
    fz = fitted(feature_types=["categorical", "numerical", "numerical", "numerical"])
    X, weak, remaining = reference_split(fz)
    result = fz.get_shift()
    assert result.key == "frailzone_shift"
    v = result.value
    assert list(v) == ["title", "show_feature", *SETTINGS, "feature_type", "data"]
    assert (v["title"], v["show_feature"], v["feature_type"]) == (REMAINING, "X0", "categorical")
    frame = v["data"]
    assert list(frame.columns) == [*fz.feature_names, "resi_type_"]
    assert list(frame.index) == list(range(len(X)))
    assert list(frame["resi_type_"]) == ["Remaining Regions"] * len(remaining) + ["Weak Regions"] * len(weak)

    v = fz.get_shift(show_feature="X2", compare_to="full").value
    assert (v["title"], v["show_feature"], v["feature_type"]) == (FULL, "X2", "numerical")
    frame = v["data"]
    assert len(frame) == len(X) + len(weak)  # the weak rows appear under both labels
    pd.testing.assert_frame_equal(frame.iloc[: len(X), :4], pd.DataFrame(X, columns=fz.feature_names))
    assert set(frame["resi_type_"][: len(X)]) == {"Full Regions"}
    with pytest.raises(ValueError):
        fz.get_shift(show_feature="nope")


def test_compare_to_checked_first_and_no_weak_region():
    unfitted = FrailZone(None, ["X0"])
    for call in (lambda fz: fz.get_distance(compare_to="Full"), lambda fz: fz.get_shift(compare_to=None)):
        with pytest.raises(TamrelError, match=r"^Unsupported value of compare_to\.$"):
            call(unfitted)
    fz = fitted(threshold=100.0)
    assert fz.output is None
    for call in (fz.get_distance, fz.get_shift):
        with pytest.raises(TamrelInfo, match=r"^No weak regions detected\.$"):
            call()


@pytest.mark.parametrize("features", [["X0"], ["X0", "X2"]])
@pytest.mark.parametrize("use_test", [False, True])
def test_target_rows_are_the_sliced_rows_inside_the_regions(features, use_test):
    fz = fitted(features, use_test=use_test)
    mask = np.zeros(len(fz.x), dtype=bool)
    for reg in fz.diag.weak_region_stats:
        mask |= region_mask(fz, reg, fz.x)
    sliced = np.zeros(len(fz.x), dtype=bool)
    sliced[fz.test_idx if use_test else fz.train_idx] = True
    rows = fz.get_target_rows()
    assert rows.size and rows.dtype == np.int64
    np.testing.assert_array_equal(rows, np.where(mask & sliced)[0])
    # get_target_idx indexes the sliced subset
    subset = fz.test_idx if use_test else fz.train_idx
    np.testing.assert_array_equal(np.unique(subset[fz.get_target_idx()]), rows)
    assert fitted(features, threshold=100.0).get_target_rows().size == 0


def test_mixed_frame_with_a_pipeline():
    from sklearn.compose import make_column_transformer
    from sklearn.linear_model import LinearRegression
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import OneHotEncoder

    rng = np.random.default_rng(3)
    n = 900
    frame = pd.DataFrame({"age": rng.uniform(20, 70, n), "city": rng.choice(["north", "south", "west"], n),
                          "member": rng.choice([True, False], n), "income": rng.normal(size=n)})
    y = frame["age"] / 10 + 2 * (frame["city"] == "west") + rng.normal(size=n) * (1 + 3 * (frame["age"] > 55))
    pipe = make_pipeline(make_column_transformer((OneHotEncoder(), ["city", "member"]), remainder="passthrough"),
                         LinearRegression()).fit(frame, y)
    train, test = np.arange(600), np.arange(600, n)
    fz = FrailZone(pipe, ["age"], threshold=1.1, min_samples=10)
    fz.fit(frame, y, train, test)
    assert fz.output is not None
    np.testing.assert_array_equal(fz.pred, pipe.predict(frame))  # the estimator saw the frame
    assert fz.feature_types == ["numerical", "categorical", "categorical", "numerical"]
    assert fz.categories == {"city": ["north", "south", "west"], "member": [False, True]}
    np.testing.assert_array_equal(fz.x[:, 1], frame["city"].map({"north": 0, "south": 1, "west": 2}))
    np.testing.assert_array_equal(fz.x[:, [0, 3]], frame[["age", "income"]])

    X, weak, remaining = reference_split(fz)
    city = frame["city"].to_numpy()[test]
    v = fz.get_distance().value
    assert "note" not in v and set(v["x"]) == set(frame.columns)
    assert dict(zip(v["x"], v["y"]))["city"] == pytest.approx(category_distance(city[remaining], city[weak]), abs=1e-4)
    v = fz.get_distance(distance_metric="KS").value
    assert v["x"] == [n for n in v["x"] if n in ("age", "income")] and len(v["x"]) == 2
    assert "categorical" in v["note"] and "'city'" in v["note"] and "'member'" in v["note"]
    shift = fz.get_shift("city").value
    assert shift["feature_type"] == "categorical"
    assert list(shift["data"]["city"]) == list(city[remaining]) + list(city[weak])

    with pytest.raises(TamrelError, match="Slicing feature 'city' is not numeric.*FrailScan"):
        FrailZone(pipe, ["city"]).fit(frame, y, train, test)

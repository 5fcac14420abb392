"""FrailScan on Dask collections: the same table as in memory."""

import numpy as np
import pandas as pd
import pytest

from tamrel.diagnoser.frailzone import FrailScan
from tamrel.exceptions import TamrelError

dask = pytest.importorskip("dask", reason="the dask extra is not installed (pip install '.[dask]')")
dd = pytest.importorskip("dask.dataframe", reason="the dask extra is not installed (pip install '.[dask]')")
da = pytest.importorskip("dask.array", reason="the dask extra is not installed (pip install '.[dask]')")
pytest.importorskip("distributed", reason="the dask extra is not installed (pip install '.[dask]')")

CUTS = (0, 700, 700, 1900, 3000)  # uneven partitions, one of them empty


def _data(n=3000, seed=0):
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame({"a": rng.normal(size=n), "b": rng.normal(size=n),
                          "c": rng.choice(["u", "v", "w", "z"], size=n, p=[.5, .3, .19, .01])})
    frame.loc[rng.uniform(size=n) < 0.05, "a"] = np.nan
    frame["c"] = frame["c"].astype("category")
    noise = 0.5 + 2.0 * (frame["b"] > 0.7) + 1.5 * (frame["c"] == "v") + 2.0 * frame["a"].isna()
    frame["y"] = frame["b"] + rng.normal(size=n) * noise
    frame["label"] = (frame["y"] > 0).astype(float)
    frame["pred"] = frame["b"]
    frame["proba"] = 1 / (1 + np.exp(-2 * frame["b"]))
    frame["w"] = rng.uniform(0.2, 2.0, n)
    frame["test"] = rng.uniform(size=n) < 0.3
    return frame


def _partitioned(frame):
    return dd.concat([dd.from_pandas(frame.iloc[a:b], npartitions=1, sort=False)
                      for a, b in zip(CUTS[:-1], CUTS[1:])])


@pytest.mark.parametrize("columns, metric, weighted, use_test, boolean_idx", [
    (["a", "b", "c"], "MSE", True, False, True),
    (["a", "b", "c"], "MAE", False, True, False),
    (["b", "a"], "LogLoss", True, False, False),
    (["a", "c"], "ACC", False, False, True),
    (["a", "b", "c"], "R2", True, False, True),
    (["a", "c"], "F1", True, False, False),
])
def test_scan_matches_in_memory(dask_client, columns, metric, weighted, use_test, boolean_idx):
    frame = _data()
    data = _partitioned(frame)
    target, pred = ("label", "proba" if metric == "LogLoss" else "pred") if metric in ("LogLoss", "ACC", "F1") \
        else ("y", "pred")
    if metric in ("ACC", "F1"):
        frame["pred"] = (frame["b"] > 0).astype(float)
        data = _partitioned(frame)
    given = "prediction_proba" if metric == "LogLoss" else "prediction"
    settings = dict(threshold=1.05, bins=6, min_samples=15, metric=metric, use_test=use_test,
                    task_type="classification" if metric in ("LogLoss", "ACC", "F1") else "regression")
    train, test = np.flatnonzero(~frame["test"]), np.flatnonzero(frame["test"])
    expected = FrailScan(None, **settings).fit(
        frame[columns], frame[target].to_numpy(), train, test, **{given: frame[pred].to_numpy()},
        sample_weight=frame["w"].to_numpy() if weighted else None).output
    idx = (~data["test"], data["test"]) if boolean_idx else (train, test)
    got = FrailScan(None, **settings).fit(data[columns], data[target], *idx, **{given: data[pred]},
                                          sample_weight=data["w"] if weighted else None).output
    assert len(got) > 0 and ("missing" in set(got["kind"])) == ("a" in columns)
    pd.testing.assert_frame_equal(got, expected, check_exact=False, rtol=1e-12)


def test_dask_array_and_top_pairs(dask_client):
    frame = _data()
    x = frame[["a", "b"]].to_numpy()
    train, test = np.flatnonzero(~frame["test"]), np.flatnonzero(frame["test"])
    settings = dict(pairs=1, threshold=1.05, bins=5, min_samples=10)
    expected = FrailScan(None, **settings).fit(x, frame["y"].to_numpy(), train, test,
                                               prediction=frame["pred"].to_numpy()).output
    rows = (tuple(np.diff(CUTS).tolist()),)
    with dask.config.set(scheduler="threads"):  # Dask's default scheduler, without the cluster
        got = FrailScan(None, **settings).fit(da.from_array(x, chunks=rows + ((2,),)),
                                              da.from_array(frame["y"].to_numpy(), chunks=rows), train, test,
                                              prediction=da.from_array(frame["pred"].to_numpy(), chunks=rows)).output
    pd.testing.assert_frame_equal(got, expected, check_exact=False, rtol=1e-12)


def test_dask_scan_refusals(dask_client):
    data = _partitioned(_data())
    scan = FrailScan(None, metric="AUC", task_type="classification")
    with pytest.raises(TamrelError, match="AUC"):
        scan.fit(data[["a", "b"]], data["label"], ~data["test"], data["test"], prediction_proba=data["proba"])
    scan = FrailScan(None, bins=4).fit(data[["a", "b"]], data["y"], ~data["test"], data["test"],
                                       prediction=data["pred"])
    with pytest.raises(TamrelError, match="Dask"):
        scan.get_target_rows(0)


def _memory_and_dask(frame, columns, settings, fit_kw, dask_kw, idx=None):
    train, test = np.flatnonzero(~frame["test"]), np.flatnonzero(frame["test"])
    expected = FrailScan(None, **settings).fit(frame[columns], frame["y"].to_numpy(), train, test, **fit_kw).output
    data = _partitioned(frame)
    got = FrailScan(None, **settings).fit(data[columns], data["y"], *(idx or (~data["test"], data["test"])),
                                          **{k: data[v] for k, v in dask_kw.items()}).output
    return got, expected


def test_dask_ties_zero_weights_and_split_as_in_memory(dask_client):
    # ties of q-value and gap keep the scan's order; weights of other magnitudes per partition
    # merge exactly; weights summing to 0 on the tested rows score them unweighted; the
    # "split" halves are the same rows
    frame = _data(n=3000, seed=3)
    frame["b"] = np.round(frame["b"], 1)
    frame.loc[frame.index < 700, "w"] *= 1000.0  # a partition whose weights scale by another power of two
    settings = dict(threshold=1.0, bins=4, min_samples=5)
    fit_kw, dask_kw = {"prediction": frame["pred"].to_numpy(), "sample_weight": frame["w"].to_numpy()}, \
        {"prediction": "pred", "sample_weight": "w"}
    got, expected = _memory_and_dask(frame, ["a", "b", "c"], settings, fit_kw, dask_kw)
    assert len(got) > 5
    pd.testing.assert_frame_equal(got, expected, check_exact=False, rtol=1e-12)
    frame.loc[frame["test"], "w"] = 0.0
    fit_kw["sample_weight"] = frame["w"].to_numpy()
    got, expected = _memory_and_dask(frame, ["a", "b"], settings, fit_kw, dask_kw)
    pd.testing.assert_frame_equal(got, expected, check_exact=False, rtol=1e-12)
    split = dict(settings, use_test="split")
    got, expected = _memory_and_dask(frame, ["a", "b"], split, {"prediction": frame["pred"].to_numpy()},
                                     {"prediction": "pred"})
    pd.testing.assert_frame_equal(got, expected, check_exact=False, rtol=1e-12)


def test_dask_categories_unknown_and_spread_over_partitions(dask_client):
    # unknown categories in the metadata (as after read_parquet + astype), one that no row
    # holds, and every category spread over several partitions with exactly min_samples rows
    frame = _data(n=3000, seed=4)
    frame["c"] = frame["c"].astype(str)
    frame.loc[frame.index[::400], "c"] = "t"  # a rare value, pooled into "other" on its own
    frame["c"] = pd.Categorical(frame["c"], categories=["t", "u", "v", "w", "z", "never"])
    frame.loc[frame["c"] == "z", "y"] += np.random.default_rng(0).normal(size=(frame["c"] == "z").sum()) * 5
    counts = frame.loc[~frame["test"], "c"].value_counts()
    settings = dict(threshold=1.0, bins=4, min_samples=int(counts["z"]))
    train, test = np.flatnonzero(~frame["test"]), np.flatnonzero(frame["test"])
    expected = FrailScan(None, **settings).fit(frame[["a", "c"]], frame["y"].to_numpy(), train, test,
                                               prediction=frame["pred"].to_numpy()).output
    assert any(c and c.get("c") == ("z",) for c in expected["categories"])  # z alone: exactly min_samples rows
    data = _partitioned(frame)
    data = data.assign(c=data["c"].astype(str).astype("category"))  # metadata without the categories
    assert not data["c"].cat.known
    got = FrailScan(None, **settings).fit(data[["a", "c"]], data["y"], ~data["test"], data["test"],
                                          prediction=data["pred"]).output
    pd.testing.assert_frame_equal(got, expected, check_exact=False, rtol=1e-12)


def test_dask_estimator_with_an_empty_partition_and_comparison(dask_client):
    from sklearn.linear_model import LinearRegression

    from tamrel.diagnoser.frailzone import FrailCompare

    frame = _data(n=3000, seed=5)
    model = LinearRegression().fit(frame[["a", "b"]].fillna(0).iloc[:2000], frame["y"].iloc[:2000])
    frame["a"] = frame["a"].fillna(0.0)
    train, test = np.flatnonzero(~frame["test"]), np.flatnonzero(frame["test"])
    data = _partitioned(frame)  # one partition holds no row
    want = FrailScan(model, bins=5, threshold=1.05).fit(frame[["a", "b"]], frame["y"].to_numpy(), train, test).output
    got = FrailScan(model, bins=5, threshold=1.05).fit(data[["a", "b"]], data["y"], ~data["test"], data["test"]).output
    pd.testing.assert_frame_equal(got, want, check_exact=False, rtol=1e-12)
    kw = dict(bins=5)
    want = FrailCompare(model, **kw).fit(frame[["a", "b"]], frame["y"].to_numpy(), train, test,
                                         baseline_prediction=frame["pred"].to_numpy()).output
    got = FrailCompare(model, **kw).fit(data[["a", "b"]], data["y"], ~data["test"], data["test"],
                                        baseline_prediction=data["pred"]).output
    pd.testing.assert_frame_equal(got, want, check_exact=False, rtol=1e-12)
    with pytest.raises(TamrelError, match="baseline's prediction: pass it"):
        FrailCompare(model, **kw).fit(data[["a", "b"]], data["y"], ~data["test"], data["test"])

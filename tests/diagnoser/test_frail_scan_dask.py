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
])
def test_scan_matches_in_memory(dask_client, columns, metric, weighted, use_test, boolean_idx):
    frame = _data()
    data = _partitioned(frame)
    target, pred = ("label", "proba" if metric == "LogLoss" else "pred") if metric in ("LogLoss", "ACC") \
        else ("y", "pred")
    if metric == "ACC":
        frame["pred"] = (frame["b"] > 0).astype(float)
        data = _partitioned(frame)
    given = "prediction_proba" if metric == "LogLoss" else "prediction"
    settings = dict(threshold=1.05, bins=6, min_samples=15, metric=metric, use_test=use_test,
                    task_type="classification" if metric in ("LogLoss", "ACC") else "regression")
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

"""The report on Dask input: the same numbers as in memory, the drill-downs from the regions' rows."""

import pytest

from report_data import make_frame, split
from tamrel.report import ValidationReport

dask = pytest.importorskip("dask", reason="the dask extra is not installed (pip install '.[dask]')")
dd = pytest.importorskip("dask.dataframe", reason="the dask extra is not installed (pip install '.[dask]')")


@pytest.mark.parametrize("boolean_idx", [True, False])
def test_dask_report_matches_memory(boolean_idx):
    frame = make_frame(n=8000, seed=2)
    train, test = split(frame)
    data = dd.from_pandas(frame, npartitions=3)
    if not boolean_idx:  # positions, with rows in neither subset
        train = train[::2]
    idx = (~data["test"], data["test"]) if boolean_idx else (train, test)
    with dask.config.set(scheduler="threads"):
        got = ValidationReport(None, metric="MSE", verbose=False).fit(
            data[["a", "b", "c"]], data["y"], *idx, prediction=data["pred"]).to_dict()
    want = ValidationReport(None, metric="MSE", verbose=False).fit(
        frame[["a", "b", "c"]], frame["y"].to_numpy(), train, test, prediction=frame["pred"].to_numpy()).to_dict()
    for subset in ("train", "test"):
        for metric, value in want["summary"]["scores"][subset].items():
            assert got["summary"]["scores"][subset][metric] == pytest.approx(value, rel=1e-12)
    assert got["summary"]["data"] == want["summary"]["data"]
    assert [c["status"] for c in got["conditions"]] == [c["status"] for c in want["conditions"]]
    # the regions' rules are the scan's on Dask too: the same words, the same rows gathered from the partitions
    assert [r["region"] for r in got["weak_regions"]["table"]] == [r["region"] for r in want["weak_regions"]["table"]]
    found = {f["region"]: f for f in want["weak_regions"]["findings"]}
    assert got["weak_regions"]["findings"] and len(found) == len(got["weak_regions"]["findings"])
    for f in got["weak_regions"]["findings"]:
        twin = found[f["region"]]
        assert f["rule"] == twin["rule"] and f["bias"]["n"] == f["test_rows"] == twin["test_rows"]
        assert f["bias"]["p_value"] == pytest.approx(twin["bias"]["p_value"], rel=1e-9)
        if "categories" in twin:
            got_cats = {r["category"]: r for r in f["categories"]["table"]}
            for r in twin["categories"]["table"]:
                assert got_cats[r["category"]]["rows"] == r["rows"]
                assert got_cats[r["category"]]["score"] == pytest.approx(r["score"], rel=1e-9)
    assert any("distance" in f for f in got["weak_regions"]["findings"])  # views drawn from the gathered rows


def test_dask_comparison_matches_memory():
    frame = make_frame(n=6000, seed=4)
    frame["worse"] = frame["pred"] + 2.0 * (frame["b"] > 8)
    train, test = split(frame)
    data = dd.from_pandas(frame, npartitions=3)
    with dask.config.set(scheduler="threads"):
        got = ValidationReport(None, metric="MSE", verbose=False).fit(
            data[["a", "b", "c"]], data["y"], ~data["test"], data["test"], prediction=data["worse"],
            baseline=data["pred"]).to_dict()["comparison"]
    want = ValidationReport(None, metric="MSE", verbose=False).fit(
        frame[["a", "b", "c"]], frame["y"].to_numpy(), train, test, prediction=frame["worse"].to_numpy(),
        baseline=frame["pred"].to_numpy()).to_dict()["comparison"]
    assert got["n_significant"] == want["n_significant"] > 0 and got["n_regions"] == want["n_regions"]
    assert [r["diff"] for r in got["table"]] == pytest.approx([r["diff"] for r in want["table"]], rel=1e-9)
    assert [r["region"] for r in got["table"]] == [r["region"] for r in want["table"]]


def test_dask_regions_gather_the_scans_rows():
    """Each region's rows gathered from the partitions by its rule are the rows the scan gives
    in memory: rows in neither subset left out, a closed upper bound's own value kept (b on a
    grid of tenths, so test rows sit on the bounds)."""
    from tamrel.diagnoser.frailzone import FrailScan
    from tamrel.report.collecting import Clock
    from tamrel.report.dask_source import DaskSource
    from tamrel.report.memory_source import MemorySource
    from tamrel.report.validation_report import FitData

    frame = make_frame(n=6000, seed=8)
    frame["b"] = frame["b"].round(1)
    train, test = split(frame)
    train = train[::2]
    x, y, pred = frame[["a", "b", "c"]], frame["y"].to_numpy(), frame["pred"].to_numpy()
    settings = dict(metric="MSE", threshold=1.05, verbose=False)
    memory = FrailScan(None, **settings).fit(x, y, train, test, prediction=pred)
    data = dd.from_pandas(frame, npartitions=3)
    with dask.config.set(scheduler="threads"):
        scan = FrailScan(None, **settings).fit(data[["a", "b", "c"]], data["y"], train, test, prediction=data["pred"])
        source = DaskSource(FitData(data[["a", "b", "c"]], data["y"], train, test, data["pred"]), scan, None)
        source.subset_sums(["MSE"])
        positions = list(range(len(scan.output)))
        got = source.regions(positions, scan.output, Clock())
    want = MemorySource(x, memory).regions(positions, memory.output, Clock())
    assert len(scan.output) == len(memory.output) > 5
    closed = 0
    for g, w in zip(got, want):
        assert g.rule == w.rule
        closed += any(p.get("closed") for p in g.rule)
        for flag in (True, False):  # test rows, then training rows
            assert sorted(g.y[g.is_test == flag]) == sorted(w.y[w.is_test == flag])
    assert closed

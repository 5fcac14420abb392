"""The scan's table against its statistics recomputed from each region's rows with NumPy, the
kernels' rank sums against DeLong's reference, and null scans of 0/1 scores."""

import warnings

import numpy as np
import pandas as pd
import pytest

from tamrel.diagnoser import _scan
from tamrel.diagnoser import scan_significance as sig
from tamrel.diagnoser.frailzone import FrailScan
from tamrel.diagnoser.scan_auc import stats_from_ranks
from tamrel.diagnoser.scan_tested import METRIC_BOUNDS
from tamrel.diagnoser.utils import get_scoring_metric


@pytest.fixture(autouse=True)
def _quiet():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        yield


def _sums(s, w):
    """Sums of one set of rows from the rows themselves."""
    w = np.ones_like(s) if w is None else w
    return sig.Sums(n=np.array([s.size]), w=np.array([w.sum()]), ws=np.array([(w * s).sum()]),
                    ws2=np.array([(w * s * s).sum()]), w2=np.array([(w * w).sum()]),
                    ws3=np.array([(w * s ** 3).sum()]), ws4=np.array([(w * s ** 4).sum()]))


def _data(n=4000, seed=0):
    rng = np.random.default_rng(seed)
    x = pd.DataFrame({"a": rng.uniform(size=n), "b": rng.normal(size=n), "c": rng.choice(list("pqr"), n)})
    x.loc[rng.random(n) < 0.05, "b"] = np.nan
    noise = 0.5 + 1.5 * (x["a"] > 0.7) + 1.0 * (x["c"] == "q")
    y = x["a"] + rng.normal(size=n) * noise
    w = rng.uniform(0.2, 3.0, n)
    return x, y.to_numpy(), w


@pytest.mark.parametrize("weighted, null", [(False, "rest"), (True, "rest"), (True, "threshold")])
def test_mean_metric_rows_against_the_table(weighted, null):
    x, y, w = _data()
    w = w if weighted else None
    pred = x["a"].to_numpy()
    tr, te = np.arange(3000), np.arange(3000, len(y))
    scan = FrailScan(None, threshold=1.1, null=null, bins=5).fit(x, y, tr, te, prediction=pred, sample_weight=w)
    out = scan.output
    assert len(out) > 5
    losses = (y - pred) ** 2
    total = _sums(losses[te], None if w is None else w[te])
    multiplier = 1.1
    for i in range(len(out)):
        rows = np.intersect1d(scan.get_target_rows(i), te)
        assert len(rows) == out.loc[i, "#Test"]
        want = sig.mean_test(_sums(losses[rows], None if w is None else w[rows]), total, sign=-1, alpha=0.05,
                             multiplier=multiplier, null=null, bounds=METRIC_BOUNDS["MSE"])
        got = out.loc[i, ["p_value", "ci_low", "ci_high", "ratio", "ratio_low", "ratio_high"]].to_numpy(float)
        np.testing.assert_allclose(got, [want.p[0], want.ci_low[0], want.ci_high[0], want.ratio[0],
                                         want.ratio_low[0], want.ratio_high[0]], rtol=1e-7, atol=1e-300)


def test_rank_sums_against_delong():
    rng = np.random.default_rng(1)
    n = 600
    score = np.round(rng.uniform(size=n), 2)  # ties
    label = (rng.uniform(size=n) < score).astype(np.uint8)
    w = rng.uniform(0.1, 2.0, n)
    inside = rng.uniform(size=n) < 0.3
    order = np.argsort(score, kind="stable")
    for weights in (None, w):
        for kind in ("sampling", "frequency"):
            got = stats_from_ranks(_scan._scan_rank_totals(order, score, label, weights), kind)
            auc, var = sig.delong(label, score, weights, weights=kind)
            np.testing.assert_allclose([got.auc[0], got.var[0]], [auc, var], rtol=1e-12)
    # a region and its rest by the kernels' cells: a unit cutting a code column
    codes = np.asfortranarray(inside.astype(np.int32)[:, None])
    unit = _scan._ScanUnit(numeric=False, cut_col=0, n_cat=2)
    num = np.zeros((n, 0), order="F")
    cells = _scan._scan_ranks(num, codes, [unit], None, 10, order, score, label, w)[0]
    ins, rest = _scan._scan_ranks(num, codes, [unit], None, 10, order, score, label, w,
                                  regions={"unit": np.array([0]), "first_cell": np.array([1]),
                                           "last_cell": np.array([2])})
    for fields, mask in ((ins, inside), (rest, ~inside)):
        got = stats_from_ranks(fields)
        auc, var = sig.delong(label[mask], score[mask], w[mask])
        np.testing.assert_allclose([got.auc[0], got.var[0]], [auc, var], rtol=1e-12)
    np.testing.assert_allclose(stats_from_ranks({k: v[[1]] for k, v in cells.items()}).auc, ins["c1"] /
                               (ins["w_pos"] * ins["w_neg"]), rtol=1e-12)


@pytest.mark.parametrize("metric", ["AUC", "R2", "F1", "ACC"])
def test_set_and_binary_metrics_rows_against_the_table(metric):
    x, y, w = _data(seed=2)
    rng = np.random.default_rng(3)
    label = (y > np.median(y)).astype(int)
    proba = np.clip(x["a"].to_numpy() + rng.normal(size=len(y)) * 0.2, 0, 1)
    tr, te = np.arange(3000), np.arange(3000, len(y))
    kw = {"AUC": (label, dict(prediction_proba=proba)), "R2": (y, dict(prediction=x["a"].to_numpy())),
          "F1": (label, dict(prediction=(proba > 0.5).astype(int))),
          "ACC": (label, dict(prediction=(proba > 0.5).astype(int)))}[metric]
    target = kw[0]
    scan = FrailScan(None, metric=metric, threshold=1.02, bins=4).fit(x, target, tr, te, sample_weight=w, **kw[1])
    out = scan.output.dropna(subset=["p_value"])
    assert len(out) > 3
    for i in out.index[:12]:
        rows = np.intersect1d(scan.get_target_rows(i), te)
        rest = np.setdiff1d(te, rows)
        if metric == "AUC":
            reg = sig.AucStats(*(np.array([v]) for v in (*sig.delong(target[rows], proba[rows], w[rows]),
                                                         (target[rows] == 1).sum(), (target[rows] == 0).sum())))
            oth = sig.AucStats(*(np.array([v]) for v in (*sig.delong(target[rest], proba[rest], w[rest]),
                                                         (target[rest] == 1).sum(), (target[rest] == 0).sum())))
            want = sig.auc_test(reg, oth, alpha=0.05).p[0]
        elif metric == "ACC":
            hits = get_scoring_metric("ACC")[2](target, kw[1]["prediction"])
            want = sig.mean_test(_sums(hits[rows], w[rows]), _sums(hits[te], w[te]), sign=1, alpha=0.05,
                                 binary=True, bounds=(0, 1)).p[0]
        else:
            pred = kw[1]["prediction"]
            args = (target, pred) if metric == "R2" else (target.astype(float), pred.astype(float))
            scale = _scan._weight_scale(np.abs(w[np.r_[tr, te]]).max())
            q = sig.quantities(metric, *args, **({"w": w * scale} if metric == "F1" else
                                                 {"shift": float(target[tr.min()])}))
            ws = w * scale

            def sums(r):
                return {"n": np.array([r.size]), "w": np.array([ws[r].sum()]), "w2": np.array([(ws[r] ** 2).sum()]),
                        **{k: np.array([(ws[r] * v[r]).sum()]) for k, v in q.items()}}
            want = sig.set_test(metric, sums(rows), sums(rest), alpha=0.05, scale=1 / scale).p[0]
        assert out.loc[i, "p_value"] == pytest.approx(want, rel=1e-6), i


@pytest.mark.parametrize("weighted", [False, True])
def test_null_scans_of_hits_report_at_most_alpha(weighted):
    # y independent of the scanned features, a weaker model, an 80/20 split: the share of
    # scans that report any significant region stays at or below alpha
    rng = np.random.default_rng(4)
    reported, scans = 0, 120
    for _ in range(scans):
        n = 800
        x = rng.uniform(size=(n, 3))
        y = (rng.uniform(size=n) < 0.5).astype(int)
        pred = (rng.uniform(size=n) < 0.4).astype(int)  # right 50% of the time, regardless of x
        w = rng.uniform(0.5, 2.0, n) if weighted else None
        out = FrailScan(None, metric="ACC", threshold=1.05, bins=6, min_samples=5, verbose=False).fit(
            x, y, np.arange(640), np.arange(640, n), prediction=pred, sample_weight=w).output
        reported += bool(out["significant"].any())
    assert reported / scans <= 0.05 + 0.03  # alpha plus two Monte Carlo standard errors

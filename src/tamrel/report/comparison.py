"""The comparison with a baseline: overall scores side by side, and FrailCompare's regions where
the model scores worse than the baseline (found on the training rows, tested on the test rows
with a one-sided paired test of the per-row score difference, Benjamini-Hochberg over the scan)."""

import numpy as np

from ..exceptions import TamrelError
from ..utils import is_dask
from .regions import describe
from .scores import metrics_of, scores_of, block_sums, set_score

__all__ = ["compare"]


def _frail_compare():
    try:
        from ..diagnoser.frailzone import FrailCompare
    except ImportError:
        raise TamrelError("The comparison with a baseline needs FrailCompare (tamrel.diagnoser.frailzone), which "
                          "this build of tamrel lacks.") from None
    return FrailCompare


def _baseline_inputs(baseline, needs_proba):
    """(estimator, {fit keyword: predictions}) of a baseline given as an estimator or its predictions."""
    if hasattr(baseline, "predict"):
        return baseline, {}
    return None, {"baseline_prediction_proba" if needs_proba else "baseline_prediction": baseline}


def _overall(source, ctx, baseline, needs_proba):
    """{"model": scores, "baseline": scores} on the test rows (in memory)."""
    y, pred, proba, w = source.subset("test")
    rows = source.scan.test_idx
    if hasattr(baseline, "predict"):
        x = source.frame(rows)
        b_pred = np.asarray(baseline.predict(x))
        b_proba = (np.asarray(baseline.predict_proba(x), dtype=np.float64)[:, 1]
                   if ctx.task == "classification" and hasattr(baseline, "predict_proba") else None)
    else:
        values = np.asarray(baseline)[rows]
        b_pred, b_proba = (None, values.astype(np.float64)) if needs_proba else (values, None)
    names = metrics_of(ctx.task, ctx.metric)
    out = {}
    for label, (p, q) in (("model", (pred, proba)), ("baseline", (b_pred, b_proba))):
        scores = scores_of(block_sums(ctx.task, y, p, q, w, source.classes, names), ctx.task, names)
        for name in ("AUC", "F1"):
            if name in names:
                scores[name] = set_score(name, y, p, q, w)
        out[label] = scores
    return out, names


def compare(report, data, source, ctx):
    """(comparison record, figures)."""
    FrailCompare = _frail_compare()
    needs_proba = source.needs_proba
    estimator, given = _baseline_inputs(data.baseline, needs_proba)
    compare_scan = FrailCompare(report.estimator, estimator, features=report.features, pairs=report.pairs,
                                task_type=ctx.task, metric=ctx.metric, alpha=report.alpha,
                                random_state=report.random_state, verbose=report.verbose)
    with ctx.clock.analysis():
        compare_scan.fit(data.x, data.y, data.train_idx, data.test_idx, prediction=data.prediction,
                         prediction_proba=data.prediction_proba, sample_weight=data.sample_weight,
                         feature_names=data.feature_names, feature_types=data.feature_types, **given)
    with ctx.clock.part("collecting"):
        table = compare_scan.output
        records = []
        for i, row in enumerate(table.to_dict("records")):
            row["region"] = describe(compare_scan.get_rule(i))
            row["diff"] = row["Diff"]
            row["slice_features"] = list(row["slice_features"])
            records.append(row)
        out = {"metric": ctx.metric, "n_regions": len(records),
               "n_significant": int(sum(bool(r["significant"]) for r in records)), "table": records}
        if is_dask(data.x):
            out["scores"], out["metrics"] = {"model": {}, "baseline": {}}, []
            out["note"] = "Overall scores side by side are computed in memory only."
        else:
            out["scores"], out["metrics"] = _overall(source, ctx, data.baseline, needs_proba)
    return out, {}

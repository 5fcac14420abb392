"""The report's summary: the data, the model, and its overall scores on both subsets."""

from .scores import TASK_METRICS, metrics_of, residual_reference, scores_of, set_score

__all__ = ["data_summary", "model_summary", "overall_scores"]

_SET_SCORES = ("AUC", "F1")  # no sums: computed from the rows, in memory only
_MISSING_SHOWN = 5  # features listed by their share of missing entries


def data_summary(source, n_train, n_test):
    kinds = list(source.kinds)
    shares = source.missing_shares()
    n_cells = len(shares)
    worst = sorted(((v, k) for k, v in shares.items() if v > 0), reverse=True)[:_MISSING_SHOWN]
    return {
        "rows": int(source.n_rows), "train_rows": int(n_train), "test_rows": int(n_test),
        "features": len(kinds), "numerical": kinds.count("numerical"), "categorical": kinds.count("categorical"),
        "missing_share": sum(shares.values()) / n_cells if n_cells else 0.0,
        "most_missing": [{"feature": k, "share": v} for v, k in worst],
    }


def model_summary(estimator, task, given_predictions):
    name = "predictions given" if estimator is None else type(estimator).__name__
    module = "" if estimator is None else type(estimator).__module__.split(".")[0]
    return {"class": name, "library": module, "task": task, "predictions_given": bool(given_predictions)}


def overall_scores(source, task, metric):
    """{"train": {metric: score}, "test": {...}, "residual_reference": on the test rows}: the
    task's metrics and the scan's; AUC and F1 from the rows where they are in memory."""
    names = metrics_of(task, metric)
    sums = source.subset_sums(names)
    out = {}
    for subset in ("train", "test"):
        scores = scores_of(sums[subset], task, names)
        if not source.is_dask:
            for name in (n for n in names if n in _SET_SCORES):
                scores[name] = set_score(name, *source.subset(subset))
        out[subset] = scores
    out["residuals"] = residual_reference(sums["test"])
    out["rows"] = {subset: int(sums[subset]["n"]) for subset in ("train", "test")}
    if "positive" in sums["test"] and sums["test"]["w"] > 0:
        share = sums["test"]["positive"] / sums["test"]["w"]
        out["majority_share"] = max(share, 1.0 - share)
    out["metrics"] = [n for n in names if n in TASK_METRICS[task]]
    return out

"""How the scan scores its cells and tests its regions, metric by metric.

Every metric is scored from sums over rows, so that one set of kernels serves them all and
the sums of row blocks merge:

- additive metrics (MSE, MAE, ACC, LogLoss, Brier): the per-row scores, whose (weighted)
  mean is the score; touching weak bins merge into one region;
- R2 and F1: sums of a few per-row quantities (squared errors and centred responses; the
  indicators of true, predicted and actual positives) from which the score follows;
- AUC: rank sums in score order (the weighted Mann-Whitney statistic and DeLong's sums);
- the comparison with a baseline: the per-row score difference, positive where the model
  scores worse, whose mean must be above 0.

R2, F1 and AUC bins are regions of their own (no merging), as FrailZone slices them.
"""

from dataclasses import dataclass

import numpy as np

from ..exceptions import TamrelError
from . import scan_significance as sig
from .utils import binary_labels, get_scoring_metric

__all__ = ["MetricPlan", "metric_plan", "diff_plan", "default_metric"]

_DIFF_ABOVE_ZERO = 5e-324  # the smallest positive double: d >= it means d > 0


def default_metric(task_type, has_proba):
    """The scan's metric when none is given: MSE for regression; for classification LogLoss
    when probabilities are at hand, else ACC."""
    if task_type == "classification":
        return "LogLoss" if has_proba else "ACC"
    return "MSE"


@dataclass(frozen=True)
class MetricPlan:
    """A metric's scan: name, sense, whether it reads probabilities, how cells score and
    regions are tested. `quantities` are the per-row values summed per cell (the first one
    with moments); `rank` marks AUC, scored from rank sums instead."""

    name: str
    sign: float
    needs_proba: bool
    kind: str  # "mean", "r2", "f1", "auc", "diff"
    bounds: tuple  # the score's range (for intervals)
    binary: bool = False  # per-row scores are 0 or 1

    @property
    def merge(self):
        return self.kind in ("mean", "diff")

    @property
    def rank(self):
        return self.kind == "auc"

    @property
    def quantity_names(self):
        return {"mean": ("s",), "diff": ("s", "m", "b"), "r2": ("y", "e2"), "f1": ("tp", "pp", "ap"),
                "auc": ()}[self.kind]


_BOUNDS = {"MSE": (0.0, np.inf), "MAE": (0.0, np.inf), "LogLoss": (0.0, np.inf), "Brier": (0.0, 1.0),
           "ACC": (0.0, 1.0), "AUC": (0.0, 1.0), "F1": (0.0, 1.0), "R2": (-np.inf, 1.0)}


def metric_plan(metric):
    """The plan of a metric name (any letter case)."""
    name, sign, _, needs_proba, additive = get_scoring_metric(metric, average=False)
    kind = "mean" if additive else name.lower()
    return MetricPlan(name, float(sign), bool(needs_proba), kind, _BOUNDS[name], binary=name == "ACC")


def diff_plan(metric):
    """The comparison with a baseline on a metric: the per-row difference of the additive
    scores, positive where the model scores worse."""
    plan = metric_plan(metric)
    if plan.kind != "mean":
        raise TamrelError(f"The comparison with a baseline needs an additive metric (MSE, MAE, ACC, LogLoss, "
                          f"Brier), got {plan.name}: its score is not a mean of per-row scores.")
    return MetricPlan(plan.name, plan.sign, plan.needs_proba, "diff", (-np.inf, np.inf))


# -- per-row quantities -------------------------------------------------------------------

def row_scores(plan, y, pred):
    """The additive per-row scores of y and the predictions (losses, or hits for ACC)."""
    _, _, func, _, _ = get_scoring_metric(plan.name, average=False)
    return np.ascontiguousarray(func(y, pred), dtype=np.float64)


def quantities(plan, y, pred, classes=None, centre=0.0, baseline=None):
    """The per-row values of a plan, float64 and contiguous, by name. `centre` is subtracted
    from R2's responses (the first sliced row's: the sums of squares keep their digits); `classes`
    names the estimator's classes for the positive-class rule; `baseline` holds the
    baseline's predictions for a comparison."""
    if plan.kind == "mean":
        return {"s": row_scores(plan, y, pred)}
    if plan.kind == "diff":  # d, and the model's and the baseline's own scores
        model, other = row_scores(plan, y, pred), row_scores(plan, y, baseline)
        return {"s": np.ascontiguousarray(-plan.sign * (model - other)), "m": model, "b": other}
    if plan.kind == "r2":
        y = np.asarray(y, dtype=np.float64)
        e = y - np.asarray(pred, dtype=np.float64)
        return {"y": np.ascontiguousarray(y - centre), "e2": np.ascontiguousarray(e * e)}
    if plan.kind == "f1":
        actual, predicted = positive_class(y, pred, classes)
        return {"tp": actual * predicted, "pp": predicted, "ap": actual}
    return {}


def positive_class(y, pred, classes=None):
    """y and the predicted labels as float 0/1 by the package's positive-class rule (the
    estimator's classes_[1], else 1 for 0/1 labels, else the larger of two labels)."""
    if classes is None:
        labels = np.concatenate([np.asarray(y).ravel(), np.asarray(pred).ravel()])
        both = binary_labels(labels)
        return both[: len(y)].copy(), both[len(y):].copy()
    return binary_labels(y, classes), binary_labels(pred, classes)


# -- cell scores ------------------------------------------------------------------------

def _with_moments(plan):
    return plan.kind in ("mean", "diff", "r2")


def r2_from(y, e2):
    """R2 = 1 - sum w e^2 / sum w (y - ybar)^2 from the sums fields of the centred responses
    y (with moments) and the squared errors e2; NaN below two rows or without weight. A
    response constant on the rows (no spread beyond rounding) gives 1 for a perfect fit and
    0 otherwise, as scikit-learn's r2_score does."""
    with np.errstate(divide="ignore", invalid="ignore"):
        w = y["w"]
        sst = y["ws2"] - y["ws"] * y["ws"] / w
        flat = sst <= 1e-12 * y["ws2"]
        score = 1.0 - e2["ws"] / sst
        score = np.where(flat, np.where(e2["ws"] == 0, 1.0, 0.0), score)
        return np.where((y["n"] >= 2) & (w > 0), score, np.nan)


def f1_from(tp, pp, ap):
    """F1 = 2 TP / (predicted positives + actual positives), NaN where both are 0."""
    with np.errstate(divide="ignore", invalid="ignore"):
        denominator = pp["ws"] + ap["ws"]
        return np.where(denominator > 0, 2.0 * tp["ws"] / denominator, np.nan)


def auc_from(ranks):
    """The weighted AUC of rank sums: sum_pos w c / (W_pos W_neg); NaN without both classes."""
    with np.errstate(divide="ignore", invalid="ignore"):
        both = (ranks["w_pos"] > 0) & (ranks["w_neg"] > 0)
        return np.where(both, ranks["c1"] / (ranks["w_pos"] * ranks["w_neg"]), np.nan)


def score_of(plan, fields):
    """The score of cells or regions from their sums fields (per quantity) or rank sums."""
    if plan.kind == "r2":
        return r2_from(fields["y"], fields["e2"])
    if plan.kind == "f1":
        return f1_from(fields["tp"], fields["pp"], fields["ap"])
    if plan.kind == "auc":
        return auc_from(fields)
    raise ValueError(f"score_of reads the fields of set metrics, not of {plan.kind}.")


def count_of(plan, fields):
    if plan.kind == "auc":
        return fields["n_pos"] + fields["n_neg"]
    return fields[plan.quantity_names[0]]["n"]


def moments_of(plan):
    """Per quantity, whether its sums pass keeps second moments (on the tested rows all do)."""
    return {name: _with_moments(plan) and k == 0 for k, name in enumerate(plan.quantity_names)}


# -- tests --------------------------------------------------------------------------------

@dataclass(frozen=True)
class TestSettings:
    alpha: float
    multiplier: float
    null: str
    weights: str
    min_rows: int


def test_regions(plan, inside, total, rest, cfg):
    """p-values and intervals of the regions on the tested rows. `inside` and `total` are the
    regions' and the tested rows' sums fields per quantity (AUC: the regions' and their
    rests' rank sums, `rest`)."""
    if plan.kind == "mean":
        return sig.mean_test(sig.Sums.of(inside["s"]), sig.Sums.of(total["s"]), sign=plan.sign, alpha=cfg.alpha,
                             multiplier=cfg.multiplier, null=cfg.null, weights=cfg.weights, binary=plan.binary,
                             bounds=plan.bounds, min_rows=cfg.min_rows)
    if plan.kind == "diff":
        return sig.paired_test(sig.Sums.of(inside["s"]), alpha=cfg.alpha, weights=cfg.weights,
                               min_rows=cfg.min_rows)
    if plan.kind == "auc":
        return sig.auc_test(sig.AucStats.of(inside), sig.AucStats.of(rest), alpha=cfg.alpha, bounds=plan.bounds,
                            min_rows=cfg.min_rows)
    region = {k: sig.Sums.of(v) for k, v in inside.items()}
    rest_sums = {k: sig.Sums.of(total[k]).minus(region[k]) for k in region}
    return sig.set_test(plan.name, region, rest_sums, alpha=cfg.alpha, bounds=plan.bounds, weights=cfg.weights,
                        min_rows=cfg.min_rows)

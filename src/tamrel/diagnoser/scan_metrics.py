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
from .scan_auc import stats_from_ranks
from .scan_setstats import SET_QUANTITIES, score_only
from .scan_tested import METRIC_BOUNDS
from .utils import binary_labels, get_scoring_metric

__all__ = ["MetricPlan", "metric_plan", "diff_plan", "default_metric", "quantities", "plan_quantities",
           "score_of", "count_of", "test_regions", "TestSettings", "positive_class", "scaled", "scales_scores"]


def default_metric(task_type, has_proba):
    """The scan's metric when none is given: MSE for regression; for classification LogLoss
    when probabilities are at hand, else ACC."""
    if task_type == "classification":
        return "LogLoss" if has_proba else "ACC"
    return "MSE"


@dataclass(frozen=True)
class MetricPlan:
    """A metric's scan: name, sense, whether it reads probabilities, how cells score and
    regions are tested (kind "mean", "diff", "r2", "f1" or "auc"; `binary` for 0/1 scores)."""

    name: str
    sign: float
    needs_proba: bool
    kind: str
    bounds: tuple  # the score's range (for intervals)
    binary: bool = False

    @property
    def merge(self):
        return self.kind in ("mean", "diff")

    @property
    def rank(self):
        return self.kind == "auc"

    @property
    def quantity_names(self):
        if self.kind in ("r2", "f1"):
            return SET_QUANTITIES[self.name]
        return {"mean": ("s",), "diff": ("s", "m", "b"), "auc": ()}[self.kind]


def metric_plan(metric):
    """The plan of a metric name (any letter case)."""
    name, sign, _, needs_proba, additive = get_scoring_metric(metric, average=False)
    kind = "mean" if additive else name.lower()
    return MetricPlan(name, float(sign), bool(needs_proba), kind, METRIC_BOUNDS[name], binary=name == "ACC")


def diff_plan(metric):
    """The comparison with a baseline on a metric: the per-row difference of the additive
    scores, positive where the model scores worse (in {-1, 0, 1} for ACC)."""
    plan = metric_plan(metric)
    if plan.kind != "mean":
        raise TamrelError(f"The comparison with a baseline needs an additive metric (MSE, MAE, ACC, LogLoss, "
                          f"Brier), got {plan.name}: its score is not a mean of per-row scores.")
    return MetricPlan(plan.name, plan.sign, plan.needs_proba, "diff", (-np.inf, np.inf), binary=plan.binary)


def plan_quantities(plan):
    """Per subset (sliced, tested), the per-row quantities the sums passes add up and the
    order of their moments (0, 2: with w s^2 and w^2, 4: also w s^3 and w s^4): the sliced
    rows' cells need their scores, the tested rows' regions their tests (the interval of a
    mean reads the skewness and kurtosis of the region's scores)."""
    names = plan.quantity_names
    if plan.kind == "r2":
        return {"e2": 0, "y": 2, "y2": 0}, {q: 2 if q == "y" else 0 for q in names}
    if plan.kind == "f1":
        return {q: 0 for q in names}, {q: 0 for q in names}
    if plan.kind == "mean" and not plan.binary:
        return {"s": 0}, {"s": 4}
    return {n: 0 for n in names[:1]}, {n: 2 if k == 0 else 0 for k, n in enumerate(names)}


def scales_scores(plan):
    """Whether the tested rows' scores are scaled by a power of two (so that the fourth
    powers of a mean's interval sums cannot overflow)."""
    return plan.kind == "mean" and not plan.binary


# -- per-row quantities -------------------------------------------------------------------

def row_scores(plan, y, pred):
    """The additive per-row scores of y and the predictions (losses, or hits for ACC)."""
    _, _, func, _, _ = get_scoring_metric(plan.name, average=False)
    return np.ascontiguousarray(func(y, pred), dtype=np.float64)


def quantities(plan, y, pred, classes=None, shift=0.0, baseline=None, weights=None):
    """The per-row values of a plan by name (float64, contiguous). `shift` is subtracted from
    R2's responses (the sums of squares keep their digits); `classes` names the estimator's
    classes for the positive-class rule; `baseline` the baseline's predictions of a
    comparison; `weights` the scaled weights (F1's relevant weight)."""
    if plan.kind == "mean":
        return {"s": row_scores(plan, y, pred)}
    if plan.kind == "diff":  # d, and the model's and the baseline's own scores
        model, other = row_scores(plan, y, pred), row_scores(plan, y, baseline)
        return {"s": np.ascontiguousarray(-plan.sign * (model - other)), "m": model, "b": other}
    if plan.kind == "r2":
        values = sig.quantities("R2", np.asarray(y, dtype=np.float64), np.asarray(pred, dtype=np.float64),
                                shift=shift)
    elif plan.kind == "f1":
        actual, predicted = positive_class(y, pred, classes)
        values = sig.quantities("F1", actual, predicted, w=weights)
    else:
        return {}
    return {k: np.ascontiguousarray(v, dtype=np.float64) for k, v in values.items()}


def scaled(values, factor):
    """A mean plan's tested quantities with the scores scaled by a power of two `factor`."""
    return dict(values, s=values["s"] * factor)


def positive_class(y, pred, classes=None):
    """y and the predicted labels as float 0/1 by the package's positive-class rule (the
    estimator's classes_[1], else 1 for 0/1 labels, else the larger of two labels)."""
    if classes is None:
        labels = np.concatenate([np.asarray(y).ravel(), np.asarray(pred).ravel()])
        both = binary_labels(labels)
        return both[: len(y)].copy(), both[len(y):].copy()
    return binary_labels(y, classes), binary_labels(pred, classes)


# -- cell scores ------------------------------------------------------------------------

def score_of(plan, fields):
    """The score of cells or regions of a set metric from their sums fields per quantity
    (AUC: their rank sums)."""
    if plan.kind == "auc":
        with np.errstate(divide="ignore", invalid="ignore"):
            both = (fields["w_pos"] > 0) & (fields["w_neg"] > 0)
            return np.where(both, fields["c1"] / (fields["w_pos"] * fields["w_neg"]), np.nan)
    return score_only(plan.name, _set_sums(plan, fields))


def count_of(plan, fields):
    if plan.kind == "auc":
        return fields["n_pos"] + fields["n_neg"]
    return fields[plan.quantity_names[0]]["n"]


def _set_sums(plan, fields):
    """The sums dict the set metrics read: each quantity's sum of w * q, with the counts, the
    weight sum and the sum of squared weights (from a quantity with moments)."""
    first = fields[plan.quantity_names[0]]
    out = {"n": first["n"], "w": first["w"], "w2": fields.get("y", first)["w2"]}
    out.update({name: f["ws"] for name, f in fields.items()})
    return out


# -- tests --------------------------------------------------------------------------------

@dataclass(frozen=True)
class TestSettings:
    alpha: float
    multiplier: float
    null: str
    weights: str
    min_rows: int
    weight_scale: float  # the true weight is the summed one times this
    score_scale: float  # a mean plan's true tested score is the summed one times this


def _mean_sums(fields, cfg, higher):
    """Sums of a mean plan's scores on the tested rows (scaled by 1 / cfg.score_scale)."""
    s = fields["s"]
    extra = {"ws3": s["ws3"], "ws4": s["ws4"]} if higher else {}
    return sig.Sums(n=s["n"], w=s["w"], ws=s["ws"], ws2=s["ws2"], w2=s["w2"], scale=cfg.weight_scale,
                    score_scale=cfg.score_scale, **extra)


def test_regions(plan, inside, total, rest, cfg):
    """p-values and intervals of the regions on the tested rows. `inside` and `total` are the
    regions' and the tested rows' sums fields per quantity (AUC: the regions' and their
    rests' rank sums, `rest`)."""
    if plan.kind == "mean":
        higher = not plan.binary
        return sig.mean_test(_mean_sums(inside, cfg, higher), _mean_sums(total, cfg, higher), sign=plan.sign,
                             alpha=cfg.alpha, multiplier=cfg.multiplier, null=cfg.null, weights=cfg.weights,
                             binary=plan.binary, bounds=plan.bounds, min_rows=cfg.min_rows)
    if plan.kind == "diff":
        s = inside["s"]
        diff = sig.Sums(n=s["n"], w=s["w"], ws=s["ws"], ws2=s["ws2"], w2=s["w2"], scale=cfg.weight_scale)
        return sig.paired_test(diff, alpha=cfg.alpha, weights=cfg.weights, binary=plan.binary,
                               min_rows=cfg.min_rows)
    if plan.kind == "auc":
        return sig.auc_test(stats_from_ranks(inside, cfg.weights, cfg.weight_scale),
                            stats_from_ranks(rest, cfg.weights, cfg.weight_scale), alpha=cfg.alpha,
                            total=stats_from_ranks(total, cfg.weights, cfg.weight_scale), bounds=plan.bounds,
                            min_rows=cfg.min_rows)
    region = _set_sums(plan, inside)
    whole = _set_sums(plan, total)
    others = {k: whole[k] - region[k] for k in region}
    return sig.set_test(plan.name, region, others, alpha=cfg.alpha, bounds=plan.bounds, weights=cfg.weights,
                        scale=cfg.weight_scale, min_rows=cfg.min_rows)

"""F1 of a region through its Jaccard index: a proportion, so tested and bounded as one.

``F1 = 2 TP / (2 TP + FP + FN) = 2 J / (1 + J)`` with ``J = TP / (TP + FP + FN)``, the
share of true positives among the relevant rows (those labelled or predicted positive).
F1 rises with J, so "the region's F1 is lower than the rest's" is "the region's J is
lower": two proportions of relevant rows, compared by the tests of ``scan_binary``
(Fisher's exact test on whole counts, else the score and binomial-tail tests with
effective sizes). A small region without a true positive has an F1 of 0 and no spread;
the delta method would call a dozen such rows significant, the exact test does not.

Effective size of the relevant rows: Kish's ``(sum w rel)^2 / sum w^2 rel`` for sampling
weights (the quantity ``w_rel = w * rel`` makes ``sum w * w_rel`` the denominator), the
true weight sum for frequency weights. The interval is Wilson's for J, mapped to F1.
"""

import numpy as np

from .scan_binary import binary_p
from .scan_intervals import check_bounds, clip_to, ratio_interval, wilson_interval
from .scan_moments import check_weights_kind
from .scan_tested import METRIC_BOUNDS, MIN_ROWS, Tested, check_test_settings

__all__ = ["f1_quantities", "f1_from_sums", "f1_test"]

F1_QUANTITIES = ("tp", "fp", "fn", "w_rel")


def f1_quantities(y, pred, w=None):
    """Indicators tp, fp, fn of 0/1 labels and predictions, and ``w_rel`` (the weight of a
    relevant row, 0 elsewhere; the weights as the sums use them, scaled)."""
    if not (np.all((y == 0) | (y == 1)) and np.all((pred == 0) | (pred == 1))):
        raise ValueError("F1 needs 0/1 labels and predictions (1 the positive class).")
    tp, fp, fn = y * pred, (1.0 - y) * pred, y * (1.0 - pred)
    rel = tp + fp + fn
    return {"tp": tp, "fp": fp, "fn": fn, "w_rel": rel if w is None else rel * w}


def _arrays(sums):
    out = {k: np.asarray(sums[k], dtype=np.float64) for k in F1_QUANTITIES}
    out["n"] = np.asarray(sums["n"])
    if out["n"].dtype.kind not in "iu":
        raise ValueError("sums['n'] must hold integer row counts.")
    return out


def _jaccard(sums, weights, scale):
    """J, the effective count of relevant rows and their weight, per region."""
    tp, rel = sums["tp"], sums["tp"] + sums["fp"] + sums["fn"]
    with np.errstate(divide="ignore", invalid="ignore"):
        j = tp / rel
        size = rel * (rel / sums["w_rel"]) if weights == "sampling" else rel * scale
        size = np.where(rel > 0, np.minimum(size, sums["n"]), 0.0)
    return j, size, rel


def _f1(j):
    with np.errstate(invalid="ignore"):
        return 2.0 * j / (1.0 + j)


def f1_from_sums(sums, weights="sampling", scale=1.0):
    """F1 and its delta-method variance ``(2 / (1 + J)^2)^2 J (1 - J) / n_rel``."""
    check_weights_kind(weights)
    j, size, _ = _jaccard(_arrays(sums), weights, scale)
    with np.errstate(divide="ignore", invalid="ignore"):
        var = (2.0 / (1.0 + j) ** 2) ** 2 * j * (1.0 - j) / size
    return _f1(j), np.where(size > 0, var, np.nan)


def f1_test(region_sums, rest_sums, *, alpha, bounds=None, weights="sampling", scale=1.0, min_rows=MIN_ROWS):
    """One-sided test that each region's F1 is lower than its rest's, with intervals (module docstring).

    ``ratio`` = region F1 / overall F1, by MOVER from the two Wilson intervals and the
    correlation of the region's J with the overall J (the region holds a share ``rho`` of
    the relevant weight: ``corr = rho v_R / sqrt(v_R v_T)``, ``v_T = rho^2 v_R + (1 - rho)^2 v_r``).
    """
    check_test_settings(alpha, 1, min_rows)
    check_weights_kind(weights)
    bounds = check_bounds(METRIC_BOUNDS["F1"] if bounds is None else bounds)
    region_sums, rest_sums = _arrays(region_sums), _arrays(rest_sums)
    j_r, size_r, rel_r = _jaccard(region_sums, weights, scale)
    j_o, size_o, rel_o = _jaccard(rest_sums, weights, scale)
    p = binary_p(j_r, size_r, j_o, size_o, 1)
    total = {k: region_sums[k] + rest_sums[k] for k in F1_QUANTITIES + ("n",)}
    j_t, size_t, _ = _jaccard(total, weights, scale)
    ci_r = [clip_to(_f1(v), bounds) for v in wilson_interval(j_r, size_r, alpha)]
    ci_t = [clip_to(_f1(v), bounds) for v in wilson_interval(j_t, size_t, alpha)]
    with np.errstate(divide="ignore", invalid="ignore"):
        rho = rel_r / (rel_r + rel_o)
        v_r, v_o = j_r * (1.0 - j_r) / size_r, j_o * (1.0 - j_o) / size_o
        v_t = rho * rho * v_r + (1.0 - rho) ** 2 * v_o
        corr = np.clip(np.nan_to_num(rho * v_r / np.sqrt(v_r * v_t)), -1.0, 1.0)
    ratio, r_low, r_high = ratio_interval(_f1(j_r), ci_r, _f1(j_t), ci_t, corr)
    region_ok = (region_sums["n"] >= min_rows) & (size_r > 0)
    both = region_ok & (rest_sums["n"] >= min_rows) & (size_o > 0)
    return Tested(p=np.where(both, p, np.nan), ci_low=np.where(region_ok, ci_r[0], np.nan),
                  ci_high=np.where(region_ok, ci_r[1], np.nan), ratio=ratio, ratio_low=np.where(both, r_low, np.nan),
                  ratio_high=np.where(both, r_high, np.nan), score=_f1(j_r))

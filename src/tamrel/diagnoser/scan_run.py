"""What FrailScan and FrailCompare share after reading their rows, in memory or on Dask:
the metric's plan, the overall scores and the one weak test's inputs, the driver's run, the
tests on the tested rows and the table."""

import sys
import warnings
from dataclasses import dataclass

import numpy as np

from .. import settings as _settings
from ..exceptions import TamrelError, TamrelWarning
from . import _scan, scan_table
from .scan_driver import PASS_STEPS, Settings, Weak, check_overall, mean_of, run
from .scan_metrics import (TestSettings, count_of, default_metric, metric_plan, plan_quantities, score_of,
                           test_regions)

__all__ = ["Prepared", "plan_of", "scan", "overall", "progress", "subset_label"]

_PROGRESS_WORK = 3e7  # rows times units that take about a second


@dataclass
class Prepared:
    """What a source has read before the passes: the columns, the scanned features and
    pairs, the sliced rows' category counts, both subsets' totals (per quantity, or rank
    sums) and sizes, and whether the rows are weighted."""

    columns: dict
    features: list
    pairs: object
    counts: dict
    totals: tuple
    sizes: tuple
    weighted: bool
    weight_scale: float = 1.0  # the true weight is the summed one times this
    score_scale: float = 1.0  # a mean plan's true tested scores are the summed ones times this


def plan_of(scan, s, has_proba, make=metric_plan):
    """The plan of the scan's metric: the one asked for, else the task's default."""
    metric = s.metric if s.metric is not None else default_metric(scan.task_type, has_proba)
    return make(metric)


def overall(plan, totals, weighted):
    """The score of a subset from its totals."""
    if plan.merge:
        return float(mean_of(totals[plan.quantity_names[0]], weighted)[0])
    return float(score_of(plan, totals)[0])


def subset_label(use_test, which):
    """The name of the sliced (0) or tested (1) rows."""
    if use_test == "split":
        return ("finding half of the test", "testing half of the test")[which]
    return ("training", "test")[which ^ bool(use_test)]


class _NoBar:
    def update(self, n=1):
        pass

    def close(self):
        pass


def _interactive():
    if "ipykernel" in sys.modules:
        return True
    stream = sys.stderr
    return hasattr(stream, "isatty") and stream.isatty()


def progress(show, total, desc):
    """A tqdm bar on a terminal or in a notebook when asked, else one that does nothing."""
    if not show or not _interactive():
        return _NoBar()
    from tqdm.auto import tqdm

    return tqdm(total=total, desc=desc, leave=False)


def _weak(plan, s, overall_sliced, n_sliced):
    if plan.kind == "diff":
        # a region is a candidate where the model's mean score is worse than the baseline's:
        # mean difference >= the smallest positive double, that is > 0; no cell stands for
        # the whole, since the rule does not compare with an overall score
        return Weak(1.0, -1.0, 5e-324, -1)
    return Weak(float(s.threshold), plan.sign, overall_sliced, int(n_sliced))


def scan(obj, s, plan, source, prep, fingerprints):
    """The table of the scan `obj` (settings `s`) through `source`; stores threshold_value
    and the overall scores on `obj` and returns (table, member conditions in table order)."""
    weighted = prep.weighted
    if getattr(s, "null", "rest") == "threshold" and plan.kind != "mean":
        raise ValueError(f'null="threshold" tests the additive metrics; for {plan.name} read the ratio of the '
                         'region\'s score to the overall one ("ratio", "ratio_low", "ratio_high").')
    overall_sliced = overall(plan, prep.totals[0], weighted)
    overall_tested = overall(plan, prep.totals[1], weighted) * prep.score_scale
    check_overall(overall_sliced, plan.name, subset_label(s.use_test, 0))
    weak = _weak(plan, s, overall_sliced, prep.sizes[0])
    if plan.kind != "diff" and s.use_test is False:
        _warn_overfit(plan, s, overall_sliced, overall_tested)
    n_units = len(prep.columns) + (len(prep.pairs) if prep.pairs is not None else len(prep.features) ** 2 // 2)
    bar = progress(bool(s.verbose) and prep.sizes[0] * n_units > _PROGRESS_WORK, PASS_STEPS + 1, type(obj).__name__)
    try:
        cfg = Settings(int(s.bins), float(s.min_samples), int(s.pairs) if prep.pairs is None else 0)
        found = run(source, plan, cfg, prep.columns, prep.features, prep.pairs, prep.counts,
                    plan_quantities(plan), weighted, weak, step=bar.update)
        table = _table(obj, s, plan, found, prep, fingerprints)
        bar.update()
    finally:
        bar.close()
    obj.threshold_value = _scan._threshold_value(weak.threshold, weak.sign, weak.overall)
    obj._scan_overall = overall_tested
    return table


def _warn_overfit(plan, s, train_score, test_score):
    """Regions found on training rows say little about new rows when the model scores far
    better there: warn when the test score is worse than the training score by more than the
    threshold factor."""
    multiplier = _scan._threshold_value(s.threshold, plan.sign, 1.0)
    if np.isfinite(train_score) and np.isfinite(test_score) and plan.sign * test_score < \
            plan.sign * multiplier * train_score:
        warnings.warn(TamrelWarning(
            f"The overall training {plan.name} ({train_score:.4g}) is better than the test {plan.name} "
            f"({test_score:.4g}) by more than the threshold factor: regions found on the training rows may not "
            'be where the model fails on new rows. use_test="split" finds regions on half of the test rows and '
            "tests them on the other half."), stacklevel=4)


def _tested(plan, found, weighted, score_scale):
    """(counts, scores) of the regions on the tested rows."""
    if plan.merge:
        first = found.inside[plan.quantity_names[0]]
        return first["n"], mean_of(first, weighted) * score_scale
    return count_of(plan, found.inside), score_of(plan, found.inside)


def _table(obj, s, plan, found, prep, fingerprints):
    n_tested, tested_score = _tested(plan, found, prep.weighted, prep.score_scale)
    cfg = TestSettings(float(s.alpha), _scan._threshold_value(s.threshold, plan.sign, 1.0) if plan.kind != "diff"
                       else 1.0, getattr(s, "null", "rest"), s.weights, int(s.min_test_samples), prep.weight_scale,
                       prep.score_scale)
    tested = test_regions(plan, found.inside, prep.totals[1], found.rest, cfg)
    keep = _unique(plan, found, n_tested, tested_score, fingerprints)
    columns = _columns(obj, s, plan, found, n_tested, tested_score, tested, keep, prep.weighted)
    q, significant = scan_table.q_values(columns["p_value"], s.alpha)
    columns["q_value"], columns["significant"] = q, significant
    columns = _reorder(columns)
    place = found.order[keep]
    gap, sign = (columns["Diff"], -1.0) if plan.kind == "diff" else (columns["Gap"], plan.sign)
    order = scan_table.order_of(q, columns["p_value"], gap, sign, place)
    conditions = [found.conditions[keep[i]] for i in order]
    return scan_table.frame({k: v[order] for k, v in columns.items()}), conditions


def _unique(plan, found, n_tested, tested_score, fingerprints):
    dropped = scan_table.duplicates(found, n_tested, np.nan_to_num(found.sliced_score) * found.n_sliced,
                                    np.nan_to_num(tested_score) * n_tested, lambda pos: _prints(found, pos, fingerprints))
    return np.setdiff1d(np.arange(len(found.rows)), dropped)


def _prints(found, positions, fingerprints):
    """The fingerprints of the regions at `positions`, pass by pass."""
    out = {}
    for units, sketches, regions, at in found.cells(positions):
        out.update(zip(at, fingerprints(units, sketches, regions)))
    return [out[i] for i in positions]


_KEYS = ["slice_features", "kind", "lb1", "ub1", "lb2", "ub2", "categories"]


def _columns(obj, s, plan, found, n_tested, tested_score, tested, keep, weighted):
    rows = [found.rows[i] for i in keep]
    cols = {k: [r[k] for r in rows] for k in _KEYS}
    cols["slice_features"] = scan_table.objects(cols["slice_features"])
    cols["categories"] = scan_table.objects(cols["categories"])
    cols["kind"] = np.asarray(cols["kind"], dtype=object)
    for k in ("lb1", "ub1", "lb2", "ub2"):
        cols[k] = np.asarray(cols[k], dtype=np.float64)
    n_sl, sc_sl = found.n_sliced[keep], found.sliced_score[keep]
    n_te, sc_te = np.asarray(n_tested)[keep], np.asarray(tested_score)[keep]
    on_train = s.use_test is not True
    n_train, n_test = (n_sl, n_te) if on_train else (n_te, n_sl)
    train, test = (sc_sl, sc_te) if on_train else (sc_te, sc_sl)
    name = plan.name
    cols["#Test"] = np.asarray(n_test, dtype=np.int64)
    cols["#Train"] = np.asarray(n_train, dtype=np.int64)
    if plan.kind == "diff":  # the model's and the baseline's tested scores, their mean difference
        cols["test_" + name] = mean_of(found.inside["m"], weighted)[keep]
        cols["test_baseline_" + name] = mean_of(found.inside["b"], weighted)[keep]
        cols["Diff"] = np.asarray(sc_te, dtype=np.float64)
    else:
        cols["test_" + name] = np.asarray(test, dtype=np.float64)
        cols["train_" + name] = np.asarray(train, dtype=np.float64)
        cols["Gap"] = scan_table.gap_of(test, train)
    cols["p_value"] = np.asarray(tested.p, dtype=np.float64)[keep]
    cols["ci_low"] = np.asarray(tested.ci_low, dtype=np.float64)[keep]
    cols["ci_high"] = np.asarray(tested.ci_high, dtype=np.float64)[keep]
    for extra in ("ratio", "ratio_low", "ratio_high"):
        if getattr(tested, extra, None) is not None:
            cols[extra] = np.asarray(getattr(tested, extra), dtype=np.float64)[keep]
    return cols


def _reorder(columns):
    """The columns in the table's order (q-value and significance after the p-value)."""
    first = _KEYS + ["#Test", "#Train"]
    scores = [k for k in columns if k.startswith(("test_", "train_"))]
    rest = [k for k in ("Gap", "Diff") if k in columns] + ["p_value", "q_value", "significant", "ci_low", "ci_high"]
    extra = [k for k in columns if k not in first + scores + rest]
    return {k: columns[k] for k in first + scores + rest + extra}


def check(obj, table):
    """The object's settings by its table."""
    return _settings.check(obj, table)


def check_subsets(sizes, use_test):
    for which, n in enumerate(sizes):
        if n == 0:
            name = "test" if use_test == "split" else ("train", "test")[which ^ bool(use_test)]
            raise TamrelError(f"The {name} subset is empty: the scan needs rows to slice and rows to test on.")

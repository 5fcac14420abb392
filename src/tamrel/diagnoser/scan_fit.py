"""FrailScan's public methods: the scan of every feature and pair, and its drill-down views."""

import sys

import numpy as np
import pandas as pd

from ..exceptions import TamrelError
from ..utils import TestDataResult, is_dask
from . import _scan
from .scan_data import kinds_of, pair_list, read_columns, read_data, scanned_features, subsets
from . import base
from .scan_metrics import metric_plan, quantities, scaled, scales_scores
from .scan_run import Prepared, check, check_subsets, plan_of, scan
from .scan_settings import SCAN
from .scan_source import MemorySource
from .scan_units import members, public_rule
from .utils import binary_labels

__all__ = ["CLASS_DOC", "ATTRIBUTES_DOC", "fit", "fit_scan", "get_result", "get_target_rows", "get_rule",
           "frailzone", "memory_scan", "result_of"]

CLASS_DOC = """Weak-region scan of every feature and every pair of features.

Slices each scanned feature, and each pair, by histogram bins as
``FrailZone(..., method="histogram")`` does, on the sliced rows (the training rows, see
``use_test``), and tests every weak region on the tested rows, which played no part in
choosing it.

Numeric features are cut into equal-width bins; for a pair (a, b) the second feature
is binned inside each bin of the first over that bin's own range. Missing values of a
feature form a slice of their own ("kind" "missing"); interval slices use the rest, and a
pair the rows where both features are present (its first feature keeping the bins of
its own scan). A slice is weak when its score is worse than ``threshold`` times the
score of all sliced rows (for a score where higher is better, below it divided by
``threshold``); a slice of every sliced row has that score itself. Weak touching bins of an
additive metric merge into one region; for AUC, F1 and R2 every weak bin is a region of its
own. Regions need ``min_samples`` sliced rows; their bounds are clipped to the range of
the rows they were cut from, for every metric.
Categorical features (``feature_types`` "categorical", or pandas categorical, object,
string or bool columns) are sliced by value; values with fewer than ``min_samples``
sliced rows are pooled into one "other" slice. In a pair with a categorical feature the
other feature is binned within each category. Regions with the same rows are reported
once, under the description with the fewest features.

Significance, on the tested rows (``scan_significance``). The null hypothesis is that the
region scores no worse than the rest of the tested rows (``null="rest"``), or, for the
additive metrics, than ``threshold`` times the score of all tested rows
(``null="threshold"``: a significant region is then worse by the threshold factor). Every
test is one-sided:

- MSE, MAE, LogLoss, Brier: Welch's t-test on weighted means, with weighted variances,
  Kish's effective sizes (sum w)^2 / sum w^2 (the weight sum for ``weights="frequency"``)
  and the Welch-Satterthwaite degrees of freedom; the interval by Hall's transformation
  (which corrects the skewness of losses);
- ACC (0/1 scores): Fisher's exact test of the region's hits against the rest's on whole
  counts, else the binomial tail at the rate the null hypothesis gives the region; the
  interval is Wilson's;
- AUC: DeLong's variances of the region's and the rest's AUC (two independent samples, the
  region's at least Hanley and McNeil's at the rest's AUC), Student's tail; the interval on
  the logit scale;
- R2: the delta method's variances from the sums of its per-row parts, Student's tail; F1:
  through its Jaccard index, a proportion tested as ACC is.

A region (or a rest) with fewer than ``min_test_samples`` tested rows is not tested (NaN,
not counted). "ci_low"/"ci_high" bound the region's score on the tested rows at level
1 - alpha, within the metric's range; "ratio" is that score over the score of all tested
rows, with its interval "ratio_low"/"ratio_high" (so that "worse by the threshold factor"
can be read off it with ``null="rest"`` too). "q_value" is the Benjamini-Hochberg
adjustment (``scipy.stats.false_discovery_control``) over every tested region of the scan,
and "significant" is q_value <= alpha.
"""

ATTRIBUTES_DOC = """Attributes
----------
output : pandas.DataFrame
    One row per region, sorted by "q_value", then "p_value", then "Gap" in the score's
    direction (worse on the tested rows first), NaN last in each, then by the scan's order
    (features in their order, singles before pairs, then groups and bounds), with the
    columns "slice_features", "kind", "lb1", "ub1", "lb2", "ub2", "categories", "#Test",
    "#Train", "test_" + score, "train_" + score, "Gap", "p_value", "q_value",
    "significant", "ci_low", "ci_high", "ratio", "ratio_low", "ratio_high".
threshold_value : float
    The score level of the weak test.
score_name : str
    The metric's name.
"""


def _take(values, rows, jobs):
    """values[rows] of a float64 vector, by the scan's threaded gather (a contiguous vector)."""
    values = np.asarray(values, dtype=np.float64)
    return _scan._scan_take(values[:, None], [0], rows, jobs)[:, 0]


def scaled_weights(w, rows):
    """The weights at the rows of both subsets, scaled by one power of two (weighted means
    and tests do not depend on the scale; the scaled sums cannot overflow or lose their
    subnormal digits)."""
    if w is None:
        return None, 1.0
    used = np.concatenate(rows)
    scale = _scan._weight_scale(float(np.max(np.abs(w[used]))) if used.size else 0.0)
    return w * scale, scale


def row_values(obj, plan, pred, sliced, baseline=None, weights=None):
    """The plan's per-row quantities over all rows of x (`weights`: scaled, for F1)."""
    classes = getattr(obj.estimator, "classes_", None)
    if plan.rank:
        return {"proba": np.ascontiguousarray(pred, dtype=np.float64),
                "positive": binary_labels(obj.y, classes).astype(np.uint8)}
    y = obj.y
    if plan.needs_proba:
        y = binary_labels(y, classes)
    shift = 0.0
    if plan.kind == "r2" and len(sliced):  # the first sliced row's response, as on Dask
        shift = float(np.asarray(y, dtype=np.float64)[np.min(sliced)])
    return quantities(plan, y, pred, classes=classes, shift=shift, baseline=baseline, weights=weights)


def score_factor(plan, values, rows):
    """The power of two that scales a mean plan's scores on the tested rows below 1, so that
    the fourth powers of the interval's sums cannot overflow (1 for other plans)."""
    if not scales_scores(plan) or not len(rows):
        return 1.0
    return _scan._weight_scale(float(np.max(np.abs(values["s"][rows]))))


def memory_scan(obj, s, plan, x, pred, baseline=None):
    """(Prepared, MemorySource, fingerprints) of in-memory data stored by read_data."""
    names = obj.feature_names
    features = scanned_features(s.features, names)
    pairs = pair_list(s.pairs, features, names)
    wanted = list(dict.fromkeys(features + [f for p in (pairs or []) for f in p]))
    columns = read_columns(x, names, kinds_of(x, obj.feature_types), wanted)
    sliced, tested = subsets(obj, x.shape[0])
    check_subsets((len(sliced), len(tested)), s.use_test)
    jobs = s.n_jobs
    w, w_scale = scaled_weights(obj.sample_weight, (sliced, tested))
    values = row_values(obj, plan, pred, sliced, baseline, w)
    if plan.rank:  # each subset's rows in score order: the rank passes then read them in turn
        proba = values["proba"]
        sliced, tested = (rows[np.argsort(proba[rows], kind="stable")] for rows in (sliced, tested))
    factor = score_factor(plan, values, tested)
    per_subset = [{k: (_take(v, rows, jobs) if v.dtype == np.float64 else np.ascontiguousarray(v[rows]))
                   for k, v in values.items()} for rows in (sliced, tested)]
    if scales_scores(plan):
        per_subset[1] = scaled(per_subset[1], factor)
    weights = [None if w is None else _take(w, rows, jobs) for rows in (sliced, tested)]
    matrix = x if isinstance(x, np.ndarray) and x.dtype == np.float64 else None
    source = MemorySource(columns, matrix, jobs, (sliced, tested), per_subset, weights)
    totals = tuple(_totals(plan, vals, wt) for vals, wt in zip(per_subset, weights))
    prep = Prepared(columns, features, pairs, source.category_counts(), totals, (len(sliced), len(tested)),
                    w is not None, 1.0 / w_scale, 1.0 / factor)
    keys = np.random.default_rng(0).integers(0, 2 ** 63, size=x.shape[0], dtype=np.uint64) * np.uint64(2) + \
        np.uint64(1)
    return prep, source, lambda units, sketches, regions: source.fingerprints(units, sketches, s.bins, regions, keys)


def _totals(plan, values, weights):
    """A subset's totals: per quantity the sums of all its rows, or its rank sums (AUC)."""
    if plan.rank:  # the rows are in score order
        return _scan._scan_rank_totals(None, values["proba"], values["positive"], weights)
    return {k: _scan._scan_totals(v, weights).cells(0) for k, v in values.items()}


def fit(self, x, y, train_idx, test_idx, prediction=None, prediction_proba=None, sample_weight=None,
        feature_names=None, feature_types=None):
    """fit(self, x, y, train_idx, test_idx, prediction=None, prediction_proba=None, sample_weight=None,
    feature_names=None, feature_types=None)

    Scan the features and pairs; the table of weak regions becomes ``output``.

    Parameters
    ----------
    x : numpy.ndarray or pandas.DataFrame
        The data, columns of any type (numeric or categorical, with missing values). A
        Dask DataFrame or array is scanned partition by partition, with the same table as
        in memory: y, the predictions and the weights are then Dask collections of its
        partitions, train_idx/test_idx boolean ones or row positions, and the metric any
        but AUC.
    y : array-like
        The response, one entry per row.
    train_idx, test_idx : array-like of int or bool
        Row positions of the training and test subsets, or boolean masks over the rows.
    prediction, prediction_proba : array-like, default=None
        The model's predictions / positive-class probabilities; computed with the
        estimator when not given and the metric needs them.
    sample_weight : array-like, default=None
        Row weights (0 or more; rows of negative weight are left out) for every score,
        mean and test.
    feature_names : list of str, default=None
        Column names; a DataFrame's own names, else "X0", "X1", ...
    feature_types : list of str, default=None
        "numerical" or "categorical" per column; by the column dtype when None.

    Returns
    -------
    self
    """
    return fit_scan(self, SCAN, metric_plan, (x, y, train_idx, test_idx, prediction, prediction_proba, sample_weight,
                                             feature_names, feature_types))


def fit_scan(obj, table, make_plan, args, baseline=None):
    """A scan's fit (FrailScan, or FrailCompare with its `Baseline`): settings by `table`,
    the metric's plan by `make_plan`, the rows in memory or on Dask (`args`: those of
    FrailScan.fit)."""
    s = check(obj, table)
    x = args[0]
    if is_dask(x):
        from .scan_dask import fit_partitions

        fit_partitions(obj, s, *args, baseline=baseline)
        return obj
    x = read_data(obj, *args)
    plan = plan_of(obj, s, obj.pred_proba is not None, make=make_plan)
    pred = needed_prediction(obj, plan)
    other = None if baseline is None else baseline_prediction(obj, plan, x, baseline.given(plan, obj.baseline))
    prep, source, fingerprints = memory_scan(obj, s, plan, x, pred, baseline=other)
    obj.score_name = plan.name
    obj.output, obj._scan_conditions = scan(obj, s, plan, source, prep, fingerprints)
    obj._scan_columns = obj._scan_categories = prep.columns
    obj._scan_x = x
    obj._scan_rows = None
    return obj


def baseline_prediction(obj, plan, x, given):
    """The baseline's predictions (probabilities where the metric reads them): given (see
    Baseline.given), or from the baseline model."""
    if given is None:
        model = obj.baseline
        given = np.asarray(model.predict_proba(x)) if plan.needs_proba else model.predict(x)
    n = x.shape[0]
    if plan.needs_proba:
        return base._positive_column(given, "baseline_prediction_proba", n)
    return base._float_vector(given, "baseline_prediction", n)


def needed_prediction(obj, plan, proba=None, labels=None, what=""):
    """The predictions the plan reads, refused clearly when missing."""
    pred = (obj.pred_proba if proba is None else proba) if plan.needs_proba else \
        (obj.pred if labels is None else labels)
    if pred is None:
        name = what + ("prediction_proba" if plan.needs_proba else "prediction")
        raise TamrelError(f"The metric {plan.name} needs {name}: pass it or an estimator that gives it.")
    return pred


def _row(self, i):
    if self.output is None:
        raise TamrelError(f"{type(self).__name__} is not fitted: call fit first.")
    if getattr(self, "_scan_columns", None) is None:
        raise TamrelError("The scan ran on Dask partitions, whose rows stay on the cluster: drill down by "
                          "selecting a region's rows from the Dask data with its bounds in output.")
    n = len(self.output)
    if not isinstance(i, (int, np.integer)) or isinstance(i, bool):
        raise TypeError(f"i must be an integer position in the table, got {i!r}.")
    if not -n <= i < n:
        raise IndexError(f"Region {i!r} is not a position in the table of {n} regions.")
    return int(i) % n


def get_target_rows(self, i):
    """get_target_rows(self, i)

    Positions into the ``x`` given to ``fit`` of the training and test rows inside
    region ``i`` (a position in ``output``), ascending.
    """
    i = _row(self, i)
    rows = getattr(self, "_scan_rows", None)
    if rows is None:  # the rows of both subsets, once per fit
        rows = self._scan_rows = np.union1d(self.train_idx, self.test_idx)
    return rows[members(self._scan_conditions[i], self._scan_columns)[rows]]


def get_rule(self, i):
    """get_rule(self, i)

    The rule that selects the rows of region ``i`` (a position in ``output``): per feature,
    in the order of its "slice_features", a dict with "feature" and "kind", "interval" with "lb", "ub" and "closed" (the upper bound
    belongs to the region when closed), "missing" (no value), or "categories" with the
    category "values". ``tamrel.diagnoser.scan_units.rule_mask(rule, frame)`` selects the
    rows of any DataFrame (a Dask partition, say) by the scan's own member rule.
    """
    if self.output is None:
        raise TamrelError(f"{type(self).__name__} is not fitted: call fit first.")
    n = len(self.output)
    if not isinstance(i, (int, np.integer)) or isinstance(i, bool):
        raise TypeError(f"i must be an integer position in the table, got {i!r}.")
    if not -n <= i < n:
        raise IndexError(f"Region {i!r} is not a position in the table of {n} regions.")
    i = int(i) % n
    return public_rule(self._scan_conditions[i], self._scan_categories, self.output["slice_features"].iloc[i])


def frailzone(self, i):
    """frailzone(self, i)

    A ``FrailZone`` (method "histogram") fitted with the scan's settings on the features of
    interval region ``i``, on every column of ``x`` and the rows where those features are
    present, and opened on the finding: its one region is the scan's region ``i``, so that
    its marginal, shift and distance views describe it (the distance ranks every feature).
    """
    FrailZone = sys.modules[type(self).__module__].FrailZone  # the scan's own module, loaded with it
    i = _row(self, i)
    row = self.output.iloc[i]
    if row["kind"] != "interval":
        raise TamrelError(f'Region {i} is a "{row["kind"]}" region; FrailZone slices intervals only.')
    features = list(row["slice_features"])
    present = np.ones(len(self.y), dtype=bool)
    for f in features:
        present &= ~np.isnan(self._scan_columns[f].values)
    x, train, test = self._scan_x, self.train_idx, self.test_idx
    everything = bool(present.all())  # no copy of x where the features have no missing value
    if not everything:
        new_pos = np.cumsum(present) - 1
        train, test = new_pos[train[present[train]]], new_pos[test[present[test]]]
        x = x.iloc[np.flatnonzero(present)] if isinstance(x, pd.DataFrame) else x[present]

    def rows(values):
        return values if values is None or everything else values[present]

    zone = FrailZone(self.estimator, features, task_type=self.task_type, threshold=self.threshold,
                     method="histogram", bins=self.bins, min_samples=self.min_samples, metric=self.score_name,
                     use_test=self.use_test is True, random_state=self.random_state)
    zone.fit(x, rows(self.y), train, test, prediction=rows(self.pred), prediction_proba=rows(self.pred_proba),
             sample_weight=rows(self.sample_weight), feature_names=self.feature_names)
    _open_on(zone, row, features)
    return zone


def _open_on(zone, row, features):
    """Keep the zone's region with the scan row's bounds as its only one."""
    keys = ["lb1", "ub1"] + (["lb2", "ub2"] if len(features) == 2 else [])
    records = zone.diag.weak_region_stats
    match = [k for k, rec in enumerate(records) if all(float(rec[key]) == float(row[key]) for key in keys)]
    if not match:
        return
    k = match[0]
    zone.diag.weak_region_stats = [records[k]]
    zone.diag.weak_region = [zone.diag.weak_region[j] for j in range(len(zone.diag.weak_region))
                             if all(float(zone.diag.weak_region[j][key]) == float(row[key]) for key in keys)][:1]
    zone.output = zone.output.iloc[[k]].reset_index(drop=True)


def get_result(self):
    """get_result(self)

    The scan as a ``TestDataResult`` with key "frailzone_scan": the settings, the
    threshold value, the overall score of the subset the regions were tested on, the
    table under "data" and each row's rule (``get_rule``) under "rules".
    """
    return result_of(self, "frailzone_scan")


def result_of(self, key):
    """The TestDataResult of a fitted scan or comparison under `key`."""
    if self.output is None:
        raise TamrelError(f"{type(self).__name__} is not fitted: call fit first.")
    value = {key: getattr(self, key) for key in ("features", "pairs", "bins", "min_samples", "metric", "threshold",
                                                  "use_test", "alpha") if hasattr(self, key)}
    value["score_name"] = self.score_name
    if hasattr(self, "threshold"):
        value["threshold_value"] = self.threshold_value
    value["tested_on"] = "train" if self.use_test is True else "test"
    value["overall_score"] = self._scan_overall
    value["data"] = self.output
    value["rules"] = [get_rule(self, i) for i in range(len(self.output))]
    return TestDataResult(key=key, value=value)

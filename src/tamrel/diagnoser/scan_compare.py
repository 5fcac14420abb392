"""FrailCompare's public methods: where a model scores worse than a baseline, feature by
feature and pair by pair."""

import numpy as np

from ..exceptions import TamrelError
from ..utils import is_dask
from . import base
from .scan_data import read_data
from .scan_fit import get_rule, get_target_rows, memory_scan, needed_prediction, result_of
from .scan_metrics import diff_plan
from .scan_run import check, plan_of, scan
from .scan_settings import COMPARE

__all__ = ["CLASS_DOC", "ATTRIBUTES_DOC", "fit", "get_result", "get_target_rows", "get_rule"]

CLASS_DOC = """Regions where a model scores worse than a baseline, on every feature and pair.

Each row's score difference d is the model's per-row score minus the baseline's on an
additive metric, turned so that d > 0 where the model is worse (for ACC, where the
baseline hits and the model misses). Every scanned feature and pair is sliced by histogram
bins (categories by value, missing values as a slice of their own) as ``FrailScan`` slices
them, on the sliced rows (the training rows, see ``use_test``); a slice is a candidate
where its mean difference is above 0, and touching candidate bins merge into one region
of at least ``min_samples`` sliced rows.

Significance, on the tested rows: the null hypothesis is that the region's mean difference
is at most 0 (the model no worse than the baseline there); a one-sided paired t-test of the
per-row differences (weighted: Kish's effective size, or the weight sum for
``weights="frequency"``). "ci_low"/"ci_high" bound the region's mean difference at level
1 - alpha; "q_value" is the Benjamini-Hochberg adjustment over every tested region, and
"significant" is q_value <= alpha. Regions with fewer than ``min_test_samples`` tested
rows are not tested (NaN).
"""

ATTRIBUTES_DOC = """Attributes
----------
output : pandas.DataFrame
    One row per region, sorted by "q_value", then "p_value", then "Diff" (largest first),
    NaN last in each, then by the scan's order, with the columns "slice_features", "kind",
    "lb1", "ub1", "lb2", "ub2", "categories", "#Test", "#Train", "test_" + score,
    "test_baseline_" + score, "Diff" (the mean difference on the tested rows), "p_value",
    "q_value", "significant", "ci_low", "ci_high".
score_name : str
    The metric's name.
"""


def _baseline_prediction(obj, plan, x, given, what):
    """The baseline's predictions: given, or from the baseline model."""
    if given is None:
        model = obj.baseline
        if model is None:
            raise TamrelError(f"The comparison needs the baseline's {what}: pass it or a fitted baseline.")
        if plan.needs_proba:
            given = np.asarray(model.predict_proba(x))
        else:
            given = model.predict(x)
    n = x.shape[0]
    if plan.needs_proba:
        return base._positive_column(given, "baseline_prediction_proba", n)
    return base._float_vector(given, "baseline_prediction", n)


def fit(self, x, y, train_idx, test_idx, prediction=None, prediction_proba=None, baseline_prediction=None,
        baseline_prediction_proba=None, sample_weight=None, feature_names=None, feature_types=None):
    """fit(self, x, y, train_idx, test_idx, prediction=None, prediction_proba=None, baseline_prediction=None,
    baseline_prediction_proba=None, sample_weight=None, feature_names=None, feature_types=None)

    Scan the features and pairs for regions where the model scores worse than the
    baseline; the table becomes ``output``.

    Parameters
    ----------
    x, y, train_idx, test_idx, prediction, prediction_proba, sample_weight, feature_names, feature_types
        As for ``FrailScan.fit`` (Dask collections too).
    baseline_prediction, baseline_prediction_proba : array-like, default=None
        The baseline's predictions / positive-class probabilities; computed with
        ``baseline`` when not given.

    Returns
    -------
    self
    """
    s = check(self, COMPARE)
    if is_dask(x):
        from .scan_dask import fit_partitions

        fit_partitions(self, s, x, y, train_idx, test_idx, prediction, prediction_proba, sample_weight,
                       feature_names, feature_types, baseline=(baseline_prediction, baseline_prediction_proba))
        return self
    x = read_data(self, x, y, train_idx, test_idx, prediction, prediction_proba, sample_weight, feature_names,
                  feature_types)
    plan = plan_of(self, s, self.pred_proba is not None, make=diff_plan)
    pred = needed_prediction(self, plan)
    given = baseline_prediction_proba if plan.needs_proba else baseline_prediction
    other = _baseline_prediction(self, plan, x, given, "prediction_proba" if plan.needs_proba else "prediction")
    prep, source, fingerprints = memory_scan(self, s, plan, x, pred, baseline=other)
    self.score_name = plan.name
    self.output, self._scan_conditions = scan(self, s, plan, source, prep, fingerprints)
    self._scan_columns = self._scan_categories = prep.columns
    self._scan_x = x
    self._scan_rows = None
    return self


def get_result(self):
    """get_result(self)

    The comparison as a ``TestDataResult`` with key "frailzone_compare": the settings, the
    overall mean difference on the tested rows, and the table under "data".
    """
    return result_of(self, "frailzone_compare")

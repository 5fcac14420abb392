"""FrailCompare's public methods: where a model scores worse than a baseline, feature by
feature and pair by pair."""

from .scan_data import Baseline
from .scan_fit import fit_scan, get_rule, get_target_rows, result_of
from .scan_metrics import diff_plan
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
    return fit_scan(self, COMPARE, diff_plan, (x, y, train_idx, test_idx, prediction, prediction_proba,
                                               sample_weight, feature_names, feature_types),
                    baseline=Baseline(baseline_prediction, baseline_prediction_proba))


def get_result(self):
    """get_result(self)

    The comparison as a ``TestDataResult`` with key "frailzone_compare": the settings, the
    overall mean difference on the tested rows, and the table under "data".
    """
    return result_of(self, "frailzone_compare")

"""The report's gate: named conditions, each with its limit, measured value and PASS/FAIL.

Conditions and their settings (the defaults let a healthy model pass):

* "weak_regions": at most ``max_count`` (0) significant weak regions (q-value at most
  alpha) whose test score is at least ``min_factor`` times worse than the overall test score
  (None: the scan's ``threshold``) on at least ``min_rows`` (0) test rows.
* "test_score": the overall test score of ``metric`` (None: R2 for regression, AUC for
  classification, ACC where no probabilities are given) at least ``min`` and at most
  ``max``; None bounds mean better than a constant prediction: R2 at least 0, AUC at least
  0.5, ACC at least the test rows' share of their most frequent class.
* "train_test_gap": the overall test score of the scan's metric at most ``max_factor`` (2.0)
  times worse than the overall training score.
* "baseline": at most ``max_count`` (0) significant regions where the model scores worse than
  the baseline by at least ``min_diff`` (0) on at least ``min_rows`` (0) test rows; only when a
  baseline is given.

``conditions`` maps a name to None or False (left out), True (its defaults), a number (its
main limit: max_count, min, max_factor, max_count) or a dict of settings.
"""

import math
import numbers
from dataclasses import asdict, dataclass

from ..exceptions import TamrelError

__all__ = ["DEFAULTS", "ConditionResult", "read_conditions", "evaluate"]

DEFAULTS = {
    "weak_regions": {"max_count": 0, "min_factor": None, "min_rows": 0},
    "test_score": {"metric": None, "min": None, "max": None},
    "train_test_gap": {"max_factor": 2.0},
    "baseline": {"max_count": 0, "min_diff": 0.0, "min_rows": 0},
}
_MAIN = {"weak_regions": "max_count", "test_score": "min", "train_test_gap": "max_factor", "baseline": "max_count"}
_METRICS = ("MSE", "MAE", "R2", "AUC", "LogLoss", "Brier", "ACC", "F1")


@dataclass
class ConditionResult:
    """One condition of the gate as measured: PASS, FAIL, or SKIP where it cannot be
    measured (a skipped condition does not fail the report)."""

    name: str
    description: str
    limit: str
    value: object
    status: str

    @property
    def passed(self):
        return self.status != "FAIL"

    def as_dict(self):
        return asdict(self)


def _setting(name, key, value):
    if key == "metric":
        if value is not None and value not in _METRICS:
            raise TamrelError(f"conditions[{name!r}]['metric'] must be one of {list(_METRICS)} or None, got {value!r}.")
        return value
    if value is None and DEFAULTS[name][key] is None:
        return None
    if isinstance(value, bool) or not isinstance(value, numbers.Real) or math.isnan(value):
        raise TamrelError(f"conditions[{name!r}][{key!r}] must be a number, got {value!r}.")
    if key in ("max_count", "min_rows", "min_diff") and value < 0:
        raise TamrelError(f"conditions[{name!r}][{key!r}] must not be negative, got {value!r}.")
    return float(value)


def read_conditions(conditions):
    """{name: settings} of the conditions in force, checked; None gives every default."""
    if conditions is None:
        return {name: dict(values) for name, values in DEFAULTS.items()}
    if not isinstance(conditions, dict):
        raise TamrelError(f"conditions must be a dict from condition name to settings, got {type(conditions).__name__}.")
    unknown = [k for k in conditions if k not in DEFAULTS]
    if unknown:
        raise TamrelError(f"Unknown condition(s) {unknown}; known: {list(DEFAULTS)}.")
    out = {}
    for name, defaults in DEFAULTS.items():
        given = conditions.get(name, True)
        if given is None or given is False:
            continue
        values = dict(defaults)
        if isinstance(given, dict):
            bad = [k for k in given if k not in defaults]
            if bad:
                raise TamrelError(f"Unknown setting(s) {bad} of condition {name!r}; known: {list(defaults)}.")
            values.update(given)
        elif given is not True:
            values[_MAIN[name]] = given
        out[name] = {k: _setting(name, k, v) for k, v in values.items()}
    return out


def _status(ok):
    return "PASS" if ok else "FAIL"


def _bound(value, low, high):
    return (low is None or value >= low) and (high is None or value <= high)


def _count_condition(name, description, limit, count):
    return ConditionResult(name, description, f"at most {int(limit)}", int(count), _status(count <= limit))


def evaluate(settings, facts):
    """The conditions in force measured on ``facts`` (a report's collected numbers:
    "regions", "test_scores", "train_test_factor", "baseline_regions", ...)."""
    out = []
    for name, values in settings.items():
        result = _EVALUATORS[name](values, facts)
        if result is not None:
            out.append(result)
    return out


def _weak_regions(values, facts):
    factor = values["min_factor"] if values["min_factor"] is not None else facts["threshold"]
    count = sum(1 for r in facts["regions"]
                if r["significant"] and r["factor"] is not None and r["factor"] >= factor
                and r["#Test"] >= values["min_rows"])
    rows = f" on at least {int(values['min_rows']):,} test rows" if values["min_rows"] else ""
    description = (f"No significant weak region (q ≤ {facts['alpha']:g}) with test {facts['metric']} "
                   f"{factor:g}× worse than overall{rows}")
    return _count_condition("weak_regions", description, values["max_count"], count)


def _default_bound(metric, facts):
    if metric == "R2":
        return 0.0, "better than the mean"
    if metric == "AUC":
        return 0.5, "better than chance"
    if metric == "ACC":
        return facts.get("majority_share"), "better than the most frequent class"
    return None, ""


def _test_score(values, facts):
    metric = values["metric"]
    if metric is None:
        metric = "R2" if facts["task"] == "regression" else "AUC" if facts["has_proba"] else "ACC"
    low, high = values["min"], values["max"]
    why = ""
    if low is None and high is None:
        low, why = _default_bound(metric, facts)
    value = facts["test_scores"].get(metric)
    limit = " and ".join(s for s in ((f"≥ {low:.4g}" if low is not None else ""),
                                     (f"≤ {high:.4g}" if high is not None else "")) if s) or "none"
    description = f"Overall test {metric} within bounds" + (f" ({why})" if why else "")
    if value is None or (low is None and high is None):
        return ConditionResult("test_score", description, limit, value, "SKIP")
    return ConditionResult("test_score", description, limit, value, _status(_bound(value, low, high)))


def _gap(values, facts):
    factor = facts["train_test_factor"]
    description = f"Overall test {facts['metric']} at most {values['max_factor']:g}× worse than training"
    limit = f"≤ {values['max_factor']:g}×"
    if factor is None:
        return ConditionResult("train_test_gap", description, limit, None, "SKIP")
    return ConditionResult("train_test_gap", description, limit, factor, _status(factor <= values["max_factor"]))


def _baseline(values, facts):
    regions = facts.get("baseline_regions")
    if regions is None:
        return None  # no baseline: nothing to compare
    count = sum(1 for r in regions if r["significant"] and r["diff"] >= values["min_diff"]
                and r["#Test"] >= values["min_rows"])
    description = (f"No significant region (q ≤ {facts['alpha']:g}) where the model's test {facts['compare_metric']} "
                   f"is worse than the baseline's")
    return _count_condition("baseline", description, values["max_count"], count)


_EVALUATORS = {"weak_regions": _weak_regions, "test_score": _test_score, "train_test_gap": _gap,
               "baseline": _baseline}

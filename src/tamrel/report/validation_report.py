"""ValidationReport: a model's validation as one call, one self-contained file and a verdict."""

import datetime
import time
from dataclasses import dataclass

import pandas as pd

from .. import settings
from ..exceptions import TamrelError
from ..utils import is_dask
from .collecting import collect
from .conditions import read_conditions
from .html_writer import fragment, page
from .json_writer import SCHEMA, SCHEMA_VERSION, plain, write_json
from .report_settings import SETTINGS

__all__ = ["ValidationReport"]


@dataclass
class FitData:
    """The arguments of ``fit``, as given."""

    x: object
    y: object
    train_idx: object
    test_idx: object
    prediction: object = None
    prediction_proba: object = None
    sample_weight: object = None
    feature_names: object = None
    feature_types: object = None
    baseline: object = None


def _version():
    try:
        from importlib.metadata import version

        return version("tamrel")
    except Exception:  # run from the source tree, not installed
        return "source"


class ValidationReport:
    """A validation report of a fitted model: weak regions, their drill-downs, the model's
    effects, a comparison with a baseline, and a verdict that a pipeline can act on.

    ``fit`` runs a ``FrailScan`` of every feature and pair (regions found on the training
    rows, tested on the test rows), drills down into the ``top`` most significant findings
    (a sentence, the marginal view and the shift of the inputs, or the category scores; and
    whether the weakness is bias or noise, see ``tamrel.report.bias``), shows the effects of
    a depth-2 model (or of a depth-2 surrogate with ``surrogate=True``), compares with
    ``baseline`` when one is given (``FrailCompare``), and measures the conditions.

    {parameters}

    Attributes
    ----------
    passed : bool
        Whether every condition passed (a skipped one does not fail).
    conditions_ : pandas.DataFrame
        One row per condition: "name", "description", "limit", "value", "status"
        ("PASS", "FAIL" or "SKIP").
    scan_ : FrailScan
        Not kept: the report holds its numbers, not the data.
    timings_ : dict
        Seconds spent in the analyses the report called and in its own work.
    """

    def __init__(self, *args, **kwargs):
        settings.store(self, SETTINGS, args, kwargs)

    def __repr__(self):
        return f"{type(self).__name__}(estimator={self.estimator!r}, metric={self.metric!r}, top={self.top!r})"

    # -- settings ---------------------------------------------------------------------
    def _check(self):
        self._settings = settings.check(self, SETTINGS)
        self._conditions = read_conditions(self.conditions)

    def _scan_metric(self, x):
        if self.metric is None and is_dask(x) and self._task_type() == "classification":
            return "LogLoss"
        return self.metric

    def _task_type(self):
        if self.task_type is not None:
            return self.task_type
        from ..diagnoser.base import _infer_task_type

        return _infer_task_type(self.estimator)

    # -- fit --------------------------------------------------------------------------
    def fit(self, x, y, train_idx, test_idx, prediction=None, prediction_proba=None, sample_weight=None,
            feature_names=None, feature_types=None, baseline=None):
        """Run the analyses and collect the report; returns self.

        The arguments are those of ``FrailScan.fit`` (in memory or Dask collections), and
        ``baseline``: a second fitted estimator, or its predictions (its probabilities of
        the positive class where the metric needs probabilities), compared with the model
        region by region.
        """
        self._check()
        start = time.perf_counter()
        data = FitData(x, y, train_idx, test_idx, prediction, prediction_proba, sample_weight, feature_names,
                       feature_types, baseline)
        content, figures, clock = collect(self, data)
        self._content, self._figures, self._clock = content, figures, clock
        self._created = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
        self.conditions_ = pd.DataFrame(content["conditions"], columns=["name", "description", "limit", "value",
                                                                        "status"])
        self.passed = bool((self.conditions_["status"] != "FAIL").all())
        self._fit_seconds = time.perf_counter() - start
        return self

    def _fitted(self):
        if not hasattr(self, "_content"):
            raise TamrelError("ValidationReport is not fitted: call fit first.")

    @property
    def timings_(self):
        self._fitted()
        return self._clock.as_dict()

    # -- outputs ----------------------------------------------------------------------
    def to_dict(self):
        """Every table and number of the report as JSON values, with a schema version
        (NaN and infinities as None)."""
        self._fitted()
        c = self._content
        doc = {
            "schema": SCHEMA, "schema_version": SCHEMA_VERSION, "title": self._title(), "created": self._created,
            "tamrel_version": _version(), "passed": self.passed, "conditions": c["conditions"],
            "settings": {"metric": c["weak_regions"]["metric"], "threshold": self.threshold, "alpha": self.alpha,
                         "use_test": self.use_test,
                         "top": self.top, "features": self.features, "pairs": self.pairs,
                         "conditions": self._conditions, "random_state": self.random_state},
            "summary": {"data": c["data"], "model": c["model"], "scores": c["scores"]},
            "weak_regions": c["weak_regions"], "model_view": c["model_view"], "comparison": c.get("comparison"),
            "timings": self._clock.as_dict(),
        }
        return plain(doc)

    def _title(self):
        if self.title is not None:
            return self.title
        return f"Validation of {self._content['model']['class']}"

    def save_json(self, path):
        """Write ``to_dict()`` as JSON; returns the path."""
        with self._clock.part("writing"):
            write_json(self.to_dict(), path)
        return path

    def save_html(self, path):
        """Write the report as one self-contained HTML file; returns the path."""
        with self._clock.part("writing"):
            text = page(self.to_dict(), self._figures)
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
        return path

    def _repr_html_(self):
        if not hasattr(self, "_content"):
            return f"<pre>{repr(self)} (not fitted)</pre>"
        return fragment(self.to_dict(), self._figures)


ValidationReport.__doc__ = ValidationReport.__doc__.replace("{parameters}", settings.parameters_doc(SETTINGS).replace(
    "\n", "\n    "))
ValidationReport.__init__.__signature__ = settings.signature(SETTINGS)

"""Running the analyses a report calls and collecting what it shows, timed apart from its own work."""

import contextlib
import time
import warnings
from dataclasses import dataclass, field

from ..diagnoser.frailzone import FrailScan
from ..diagnoser.utils import get_scoring_metric
from ..exceptions import TamrelInfo, TamrelWarning
from ..plots import render
from ..utils import is_dask
from .conditions import evaluate
from .figures import no_show, png
from .findings import drill_down, select_findings, worse_factor
from .model_view import model_view
from .regions import describe
from .summary import data_summary, model_summary, overall_scores

__all__ = ["Clock", "Context", "collect"]

_TABLE_ROWS = 15  # rows of the scan's table shown in the report (the JSON keeps every row)


class Clock:
    """Seconds spent in the analyses the report calls and in its own parts."""

    def __init__(self):
        self.analyses = 0.0
        self.own = {}
        self._inside = False
        self._nested = 0.0  # own time of the parts inside the part now running

    @contextlib.contextmanager
    def analysis(self):
        """Time inside counts as the analyses' (not nested in another analysis)."""
        if self._inside:
            yield
            return
        self._inside, start = True, time.perf_counter()
        try:
            yield
        finally:
            self.analyses += time.perf_counter() - start
            self._inside = False

    @contextlib.contextmanager
    def part(self, name):
        """Time inside, less the analyses it calls, counts as the report's part ``name``."""
        start, before, outer = time.perf_counter(), self.analyses, self._nested
        self._nested = 0.0
        try:
            yield
        finally:
            mine = time.perf_counter() - start - (self.analyses - before)
            self.own[name] = self.own.get(name, 0.0) + mine - self._nested
            self._nested = outer + mine

    def as_dict(self):
        own = sum(self.own.values())
        return {"analyses_s": self.analyses, "report_s": own, **{f"{k}_s": v for k, v in self.own.items()},
                "report_share": own / (own + self.analyses) if own + self.analyses > 0 else 0.0}


@dataclass
class Context:
    """What the drill-downs and the model view read."""

    source: object
    task: str
    metric: str
    sign: float
    alpha: float
    overall_test: object
    residuals: object  # bias.Reference of all test rows, or None
    random_state: object
    clock: Clock
    notes: list = field(default_factory=list)


def _progress(report, total):
    from ..diagnoser.scan_run import progress  # one progress rule for the package

    return progress(bool(report.verbose), total, "ValidationReport")


def _scan(report, data, clock):
    """The fitted scan, and what it warned of (the report says it on the page)."""
    scan = FrailScan(report.estimator, features=report.features, pairs=report.pairs, task_type=report.task_type,
                     metric=report._scan_metric(data.x), threshold=report.threshold, alpha=report.alpha,
                     use_test=report.use_test, random_state=report.random_state, verbose=report.verbose)
    with clock.analysis(), warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", TamrelWarning)
        scan.fit(data.x, data.y, data.train_idx, data.test_idx, prediction=data.prediction,
                 prediction_proba=data.prediction_proba, sample_weight=data.sample_weight,
                 feature_names=data.feature_names, feature_types=data.feature_types)
    for w in caught:
        if not issubclass(w.category, TamrelWarning):
            warnings.warn_explicit(w.message, w.category, w.filename, w.lineno)
    return scan, [str(w.message) for w in caught if issubclass(w.category, TamrelWarning)]


def _source(data, scan, report):
    if is_dask(data.x):
        from .dask_source import DaskSource

        return DaskSource(data, scan, report.estimator)
    from .memory_source import MemorySource

    return MemorySource(data.x, scan)


def _table_records(scan, metric, sign, overall):
    """Every row of the scan's table with its description (of the scan's rule) and worse-factor."""
    out = []
    for i, row in enumerate(scan.output.to_dict("records")):
        row["region"] = describe(scan.get_rule(i))
        row["factor"] = worse_factor(row["test_" + metric], overall, sign)
        row["slice_features"] = list(row["slice_features"])
        out.append(row)
    return out


def collect(report, data):
    """(content, figures, clock) of a report on ``data`` (the arguments of fit)."""
    clock = Clock()
    figures = {}
    bar = _progress(report, 4 + report.top)
    try:
        with no_show():
            scan, warned = _scan(report, data, clock)
            bar.update()
            with clock.part("collecting"):
                source = _source(data, scan, report)
                metric = scan.score_name
                sign = float(get_scoring_metric(metric).score_sign)
                scores = overall_scores(source, scan.task_type, metric)
                table = _table_records(scan, metric, sign, scores["test"].get(metric))
                content = {
                    "data": data_summary(source, scores["rows"]["train"], scores["rows"]["test"]),
                    "model": model_summary(report.estimator, scan.task_type, data.prediction is not None or
                                           data.prediction_proba is not None),
                    "scores": scores,
                }
            bar.update()
            ctx = Context(source, scan.task_type, metric, sign, report.alpha, scores["test"].get(metric),
                          scores.pop("residuals"), report.random_state, clock)
            content["weak_regions"] = _weak_regions(report, scan, source, table, ctx, figures, bar)
            content["weak_regions"]["warnings"] = warned
            content["weak_regions"]["found_on"] = {False: "training rows", True: "test rows",
                                                   "split": "half of the test rows"}[report.use_test]
            with clock.part("collecting"):
                view, model_figures = model_view(ctx, report.estimator, report.surrogate)
            figures.update(model_figures)
            content["model_view"] = view
            bar.update()
            if data.baseline is not None:
                from .comparison import compare

                content["comparison"], compare_figures = compare(report, data, source, ctx)
                figures.update(compare_figures)
            bar.update()
            with clock.part("collecting"):
                content["conditions"] = [c.as_dict() for c in evaluate(report._conditions, _facts(report, content))]
    finally:
        bar.close()
    return content, figures, clock


def _weak_regions(report, scan, source, table, ctx, figures, bar):
    metric = ctx.metric
    out = {"metric": metric, "threshold": report.threshold, "threshold_value": float(scan.threshold_value),
           "overall_test_score": ctx.overall_test, "n_regions": len(table),
           "n_significant": int(sum(r["significant"] for r in table)), "table": table, "findings": []}
    with ctx.clock.part("figures"):
        try:
            figures["scan"] = png(render(scan.get_result()))
        except TamrelInfo:
            pass
    with ctx.clock.part("collecting"):
        positions = select_findings(scan.output, metric, report.top)
        regions = source.regions(positions, scan.output, ctx.clock)
    for k, (position, region) in enumerate(zip(positions, regions)):
        with ctx.clock.part("collecting"):
            record, found = drill_down(ctx, position, scan.output.iloc[position], region)
        out["findings"].append(record)
        figures.update({f"finding_{k}_{name}": image for name, image in found.items()})
        bar.update()
    return out


def _facts(report, content):
    scores, regions = content["scores"], content["weak_regions"]
    metric = regions["metric"]
    sign = float(get_scoring_metric(metric).score_sign)
    facts = {
        "task": content["model"]["task"], "metric": metric, "alpha": report.alpha, "threshold": report.threshold,
        "regions": regions["table"], "test_scores": scores["test"], "has_proba": scores["test"].get("AUC") is not None
        or scores["test"].get("LogLoss") is not None,
        "majority_share": scores.get("majority_share"),
        "train_test_factor": worse_factor(scores["test"].get(metric), scores["train"].get(metric), sign),
    }
    comparison = content.get("comparison")
    if comparison is not None:
        facts["baseline_regions"] = comparison["table"]
        facts["compare_metric"] = comparison["metric"]
    return facts


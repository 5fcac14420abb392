"""Drill-downs of the scan's significant findings: a sentence, the views, bias or noise."""

import numpy as np

from ..diagnoser.frailzone import FrailZone
from ..exceptions import TamrelError, TamrelInfo
from .bias import bias_check
from .figures import png
from .regions import describe, number

__all__ = ["select_findings", "worse_factor", "drill_down"]

_CATEGORIES_SHOWN = 20  # categories listed: the region's and the largest others
_MAP_GRID = 300  # points along each side of the two-feature map (the figure is 6 inches wide)


def worse_factor(region, overall, sign):
    """How many times worse the region's score is than the overall one (above 1: worse):
    region / overall for an error, overall / region for a score where higher is better."""
    if region is None or overall is None or not np.isfinite(region) or not np.isfinite(overall):
        return None
    num, den = (region, overall) if sign < 0 else (overall, region)
    if den == 0:
        return None if num == 0 else float("inf")
    return float(num / den)


def select_findings(table, score_name, top):
    """Positions of the first ``top`` significant rows of the table, a set of rows described
    several times (same counts, scores equal to 10 digits: summed in another order) taken once."""
    seen, out = set(), []
    keys = [(int(a), int(b), f"{s:.10g}") for a, b, s in
            zip(table["#Train"], table["#Test"], table["test_" + score_name])]
    for i, (significant, key) in enumerate(zip(table["significant"].to_numpy(dtype=bool), keys)):
        if len(out) >= top:
            break
        if significant and tuple(key) not in seen:
            seen.add(tuple(key))
            out.append(i)
    return out


def _sentence(metric, sign, region, overall, factor, n_test, words, q):
    where = f"on the {n_test:,} test rows with {words} (q = {number(q)})"
    if sign < 0 and factor is not None and np.isfinite(factor):
        return (f"Test {metric} is {factor:.1f}× the overall ({number(region)} against {number(overall)}) "
                f"{where}.")
    return f"Test {metric} is {number(region)} against {number(overall)} overall {where}."


def _bias_sentence(check, classification, alpha):
    what = ("the observed rate is {y} against a mean probability of {p}" if classification
            else "the outcome averages {y} where the model predicts {p}")
    level = what.format(y=number(check.mean_outcome), p=number(check.mean_prediction))
    interval = f"{100 * (1 - alpha):.0f}% interval [{number(check.ci_low)}, {number(check.ci_high)}]"
    if check.verdict == "noise":
        spread = ("" if not np.isfinite(check.spread_ratio) else
                  f"; the residuals spread {check.spread_ratio:.1f}× as wide as on all test rows")
        return f"Noise: the model is right on average here ({level}, p = {number(check.p_value)}){spread}."
    share = (f"the squared bias accounts for {100 * min(check.bias_share, 1.0):.0f}% of the region's excess "
             "mean squared residual over all test rows")
    head = "Bias" if check.verdict == "bias" else "Bias and noise"
    return f"{head}: {level} (difference {number(check.bias)}, {interval}, p = {number(check.p_value)}); {share}."


def drill_down(ctx, position, row, region):
    """The finding at ``position`` of the table (``row``) with its region's rows ``region``:
    a record for the report and its figures {name: PNG}."""
    metric, sign = ctx.metric, ctx.sign
    region_score, overall = float(row["test_" + metric]), ctx.overall_test
    factor = worse_factor(region_score, overall, sign)
    words = describe(region.rule)
    record = {
        "position": int(position), "features": list(row["slice_features"]), "kind": str(row["kind"]),
        "region": words, "rule": [dict(part) for part in region.rule], "test_rows": int(row["#Test"]),
        "train_rows": int(row["#Train"]), "test_score": region_score, "train_score": float(row["train_" + metric]),
        "overall_test_score": overall, "factor": factor, "p_value": float(row["p_value"]),
        "q_value": float(row["q_value"]), "ci_low": float(row["ci_low"]), "ci_high": float(row["ci_high"]),
        "notes": [],
    }
    record["sentence"] = _sentence(metric, sign, region_score, overall, factor, record["test_rows"], words,
                                   record["q_value"])
    record["bias"] = _bias(ctx, region, record)
    figures = {}
    with ctx.clock.part("figures"):
        if any(part["kind"] == "categories" for part in region.rule):
            _categories(ctx, region, record, figures)
        if row["kind"] == "interval":
            _zone_views(ctx, position, row, record, figures)
    return record, figures


def _bias(ctx, region, record):
    test = region.is_test
    classification = ctx.task == "classification"
    given = region.proba if classification else region.pred
    if given is None:
        record["notes"].append("No predictions of the outcome's level: bias and noise are not told apart.")
        return None
    y = ctx.source.labels(region.y[test]) if classification else np.asarray(region.y[test], dtype=np.float64)
    w = None if region.w is None else np.asarray(region.w)[test]
    check = bias_check(y, np.asarray(given)[test], w, classification, ctx.alpha, ctx.residuals)
    out = check.as_dict()
    out["sentence"] = _bias_sentence(check, classification, ctx.alpha)
    return out


def _categories(ctx, region, record, figures):
    """Test score and share of every category of the finding's categorical feature, on the
    test rows that meet the rule's other parts."""
    part = next(p for p in region.rule if p["kind"] == "categories")
    others = tuple(p for p in region.rule if p is not part)
    with ctx.clock.part("collecting"):
        table = ctx.source.category_scores(part["feature"], ctx.metric, others)
    table["in_region"] = table["category"].isin(list(part["values"]))
    shown = table[table["in_region"]]
    shown = table.loc[shown.index.union(table.sort_values("rows", ascending=False).index[:_CATEGORIES_SHOWN])]
    record["categories"] = {"feature": part["feature"], "within": describe(others) if others else None,
                            "table": shown}


def _zone_views(ctx, position, row, record, figures):
    """The marginal view and the shift of the inputs, by the drill-down FrailZone."""
    try:
        with ctx.clock.analysis():
            zone, note = ctx.source.zone(position, row)
            if zone is None:
                record["notes"].append(note)
                return
            if note:
                record["notes"].append(note)
            marginal, distance = zone.get_marginal(), zone.get_distance()
    except (TamrelError, TamrelInfo, ValueError) as exc:
        record["notes"].append(f"No drill-down view: {exc}")
        return
    record["distance"] = [{"feature": str(f), "distance": float(d)} for f, d in
                          zip(distance.value["x"], distance.value["y"])]
    try:
        with ctx.clock.analysis():  # FrailZone's own view; encoding it is the report's work
            figure = FrailZone.plot_marginal(marginal, grid=_MAP_GRID)
        figures["marginal"] = png(figure)
    except TamrelInfo as exc:
        record["notes"].append(f"No marginal view: {exc}")

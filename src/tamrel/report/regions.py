"""A region of the scan's table in words, from the scan's own rule of it.

``FrailScan.get_rule(i)`` (and ``FrailCompare.get_rule(i)``) gives a region's rule as one
record per feature: "interval" (with "lb", "ub" and whether the upper bound is "closed"),
"missing", or "categories" (with the category "values"). The report only words it and
selects rows by it through the scan (``get_target_rows``, ``scan_units.rule_mask``), so the
member rule stays the scan's alone.
"""

import math

import numpy as np
import pandas as pd

__all__ = ["rule_key", "describe", "number", "category_groups", "category_table", "MISSING"]


def rule_key(rule):
    """A rule as a hashable key (its records as sorted items)."""
    return tuple(tuple(sorted(part.items())) for part in rule)


def number(value):
    """A number as a reader wants it: 4 significant digits, thousands separated."""
    if value is None or (isinstance(value, float) and not math.isfinite(value)):
        return "n/a"
    value = float(value)
    if value != 0 and (abs(value) >= 1e6 or abs(value) < 1e-3):
        return f"{value:.3g}"
    if abs(value) >= 1000:
        return f"{value:,.0f}"
    return f"{value:.4g}"


def _values(values):
    shown = ", ".join(str(v) for v in values)
    return f"= {shown}" if len(values) == 1 else f"in {{{shown}}}"


def describe(rule):
    """A rule (records as ``get_rule`` gives them) in words, e.g. "age in [61, 70) and
    income missing"; "]" closes an upper bound that belongs to the region."""
    words = []
    for part in rule:
        name, kind = part["feature"], part["kind"]
        if kind == "missing":
            words.append(f"{name} missing")
        elif kind == "categories":
            words.append(f"{name} {_values(part['values'])}")
        else:
            close = "]" if part["closed"] else ")"
            words.append(f"{name} in [{number(part['lb'])}, {number(part['ub'])}{close}")
    return " and ".join(words)


MISSING = "(missing)"


def category_groups(values):
    """(code per entry, labels): the categories of a column in their order (a categorical's
    own, else sorted), missing entries as one more group at the end."""
    series = pd.Series(values)
    if isinstance(series.dtype, pd.CategoricalDtype):
        labels = list(series.cat.categories)
        codes = series.cat.codes.to_numpy().astype(np.int64)
    else:
        codes, uniques = pd.factorize(series, sort=True)
        labels = list(uniques)
    if (codes < 0).any():
        codes = np.where(codes < 0, len(labels), codes)
        labels.append(MISSING)
    return codes, labels


def category_table(rows, n_total):
    """The per-category table from (label, rows, score) triples."""
    table = pd.DataFrame(rows, columns=["category", "rows", "score"])
    table["share"] = table["rows"] / n_total if n_total else 0.0
    table["score"] = [None if v is None or not np.isfinite(v) else float(v) for v in table["score"]]
    return table

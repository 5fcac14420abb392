"""A region of the scan's table: its description in words and the rule that selects its rows.

The table gives each region's features with their bounds or categories. Two things it
leaves open are settled by the rows themselves: an interval's upper bound is closed when it
is the top of the feature's range there, and a "missing" region of a pair is missing in one
of its two features. ``candidates`` lists the readings a row allows; the one whose counts of
training and test rows match the table's is the region (see ``dask_source``).
"""

import itertools
import math
from dataclasses import dataclass

import numpy as np
import pandas as pd

__all__ = ["Part", "Rule", "candidates", "describe", "number", "category_groups", "category_table", "MISSING"]


@dataclass(frozen=True)
class Part:
    """One condition on one feature: "interval" [lb, ub) (closed: [lb, ub]), "missing", or
    "categories" (the values in ``values``)."""

    feature: str
    kind: str
    lb: float = math.nan
    ub: float = math.nan
    closed: bool = False
    values: tuple = ()

    def mask(self, column):
        """True on the entries of ``column`` (a pandas Series) that meet the condition."""
        if self.kind == "missing":
            return column.isna().to_numpy()
        if self.kind == "categories":
            return column.isin(list(self.values)).to_numpy() & column.notna().to_numpy()
        values = pd.to_numeric(column, errors="coerce").to_numpy(dtype=np.float64, na_value=np.nan)
        with np.errstate(invalid="ignore"):
            upper = values <= self.ub if self.closed else values < self.ub
            return (values >= self.lb) & upper


@dataclass(frozen=True)
class Rule:
    """The conditions that together select a region's rows."""

    parts: tuple

    def mask(self, frame):
        out = np.ones(len(frame), dtype=bool)
        for part in self.parts:
            out &= part.mask(frame[part.feature])
        return out


def _interval_parts(row, name, pos):
    lb, ub = float(row[f"lb{pos}"]), float(row[f"ub{pos}"])
    return [Part(name, "interval", lb, ub, closed) for closed in (False, True)]


def candidates(row):
    """Every reading of a table row as a Rule (one, or a few where the table leaves the
    closure of an upper bound or the missing feature of a pair open)."""
    features = list(row["slice_features"])
    if row["kind"] == "missing":
        return [Rule((Part(f, "missing"),)) for f in features]
    cats = row["categories"] or {}
    options = []
    for pos, name in enumerate(features, start=1):
        if name in cats:
            options.append([Part(name, "categories", values=tuple(cats[name]))])
        elif np.isfinite(row[f"lb{pos}"]):
            options.append(_interval_parts(row, name, pos))
    return [Rule(tuple(parts)) for parts in itertools.product(*options)]


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
    """The rule in words, e.g. "age in [61, 70) and income missing"."""
    words = []
    for part in rule.parts:
        if part.kind == "missing":
            words.append(f"{part.feature} missing")
        elif part.kind == "categories":
            words.append(f"{part.feature} {_values(part.values)}")
        else:
            close = "]" if part.closed else ")"
            words.append(f"{part.feature} in [{number(part.lb)}, {number(part.ub)}{close}")
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

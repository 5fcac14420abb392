"""The scan's table: one row per set of rows, the Benjamini-Hochberg step, a total order.

Regions whose rows are the same set (a pair whose second feature spans its whole range
inside a bin of the first repeats that bin's region, say) are reported once, under the
simplest description (fewest features, then the scan's order), and counted once by the
Benjamini-Hochberg step.
"""

import numpy as np
import pandas as pd

from .scan_significance import benjamini_hochberg

__all__ = ["duplicates", "order_of", "frame", "objects", "gap_of"]

_STRING = pd.Series(["interval"]).dtype  # the dtype pandas gives strings, also for an empty table


def objects(values):
    """A list as an object array (tuples and dicts kept whole)."""
    out = np.empty(len(values), dtype=object)
    for i, v in enumerate(values):
        out[i] = v
    return out


def gap_of(test_score, train_score):
    """The gap of a region: its test score minus its training score."""
    return np.asarray(test_score, dtype=np.float64) - np.asarray(train_score, dtype=np.float64)


def duplicates(found, n_tested, sliced_sum, tested_sum, fingerprints):
    """Positions of the regions that repeat the rows of an earlier-kept region.

    Candidates share their counts on both subsets and, within rounding, their score sums.
    Two candidates are the same rows when the conditions of one imply the other's (a subset
    with as many rows on both subsets is the whole set; a pair's region inside a bin of its
    first feature, say), else when their fingerprints agree (`fingerprints(positions)`: a
    64-bit sum of random row keys, which tells row sets apart exactly). Of each set of equal
    regions the one with the fewest features, then first in the scan's order, is kept.
    """
    n = len(found.rows)
    if n < 2:
        return np.empty(0, dtype=np.int64)
    key = np.c_[found.n_sliced, n_tested]
    scale = np.maximum(np.abs(sliced_sum), np.abs(tested_sum)) + 1.0
    order = np.lexsort((np.round(tested_sum / scale, 9), np.round(sliced_sum / scale, 9), key[:, 1], key[:, 0]))
    a, b = order[:-1], order[1:]
    same = (key[a] == key[b]).all(axis=1) & np.isclose(sliced_sum[a], sliced_sum[b], rtol=1e-9, atol=0) & \
        np.isclose(tested_sum[a], tested_sum[b], rtol=1e-9, atol=0)

    def simplest(i):
        return len(found.rows[i]["slice_features"]), tuple(found.order[i])

    runs = [_proven(sorted(run, key=simplest), found.conditions) for run in _runs(order, same)]
    # a run split into several proven groups is settled by one fingerprint per group
    doubtful = [g[0] for groups in runs if len(groups) > 1 for g in groups]
    prints = dict(zip(doubtful, fingerprints(doubtful))) if doubtful else {}
    dropped = []
    for groups in runs:
        same_rows = {}
        for g in groups:
            same_rows.setdefault(prints.get(g[0]), []).extend(g)
        for members in same_rows.values():
            dropped.extend(sorted(members, key=simplest)[1:])
    return np.asarray(sorted(dropped), dtype=np.int64)


def _runs(order, same):
    """Runs of consecutive positions in `order` linked by `same` (each of two or more)."""
    starts = np.flatnonzero(~np.r_[False, same])
    runs = np.split(np.asarray(order, dtype=np.int64), starts[1:])
    return [run.tolist() for run in runs if len(run) > 1]


def _proven(run, conds):
    """The run split into groups proven to be the same rows: a member joins the first group
    whose first member's conditions imply its own or are implied by them (equal counts on
    both subsets make a subset the whole set)."""
    groups = []
    for i in run:
        for g in groups:
            if implies(conds[i], conds[g[0]]) or implies(conds[g[0]], conds[i]):
                g.append(i)
                break
        else:
            groups.append([i])
    return groups


def implies(a, b):
    """Whether every row that meets the conditions `a` meets the conditions `b`."""
    return all(any(_implies(x, y) for x in a if x.feature == y.feature) for y in b)


def _implies(x, y):
    if x.kind != y.kind:
        return False
    if x.kind == "missing":
        return True
    if x.kind == "codes":
        return set(x.codes) <= set(y.codes)
    upper = x.ub < y.ub or (x.ub == y.ub and (y.closed or not x.closed))
    return x.lb >= y.lb and upper


def order_of(q, p, gap, sign, place):
    """The table's total order: q-value, then p-value (ascending), then the gap in the
    score's direction (worse on the tested rows first), NaN last in each; ties by the scan's
    order of the regions (feature order, then group and bounds)."""
    keys = [place[:, 2], place[:, 1], place[:, 0], sign * gap, p, q]
    return np.lexsort(keys)


def frame(columns):
    """The table as a DataFrame, "kind" with pandas' string dtype in every table."""
    columns = dict(columns)
    columns["kind"] = pd.Series(columns["kind"], dtype=_STRING)
    return pd.DataFrame(columns)


def q_values(p, alpha):
    q = benjamini_hochberg(p)
    return q, q <= alpha

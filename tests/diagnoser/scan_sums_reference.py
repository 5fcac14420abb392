"""Per-region sums built from rows with NumPy, as the scan's kernels must produce them."""

import numpy as np

from tamrel.diagnoser.scan_significance import Sums


def sums_of(groups, weights=None, scale=1.0):
    """Sums of a list of row groups (one entry each); weights: a list of arrays or None."""
    weights = [np.ones(len(g)) for g in groups] if weights is None else weights
    power = lambda k: np.array([np.dot(w, np.asarray(g, dtype=np.float64) ** k) for g, w in zip(groups, weights)])
    return Sums(n=np.array([len(g) for g in groups], dtype=np.int64), w=power(0), ws=power(1), ws2=power(2),
                w2=np.array([np.dot(w, w) for w in weights]), ws3=power(3), ws4=power(4), scale=scale)


def sums_rows(x, w=None):
    """Sums of each row of a matrix (reps x rows): one entry a repetition."""
    w = np.ones_like(x) if w is None else w
    wx = w * x
    return Sums(n=np.full(x.shape[0], x.shape[1], dtype=np.int64), w=w.sum(1), ws=wx.sum(1), ws2=(wx * x).sum(1),
                w2=(w * w).sum(1), ws3=(wx * x * x).sum(1), ws4=(wx * x ** 3).sum(1))


def plus(a, b):
    """Sums of the union of two disjoint sets of rows."""
    return Sums(n=a.n + b.n, w=a.w + b.w, ws=a.ws + b.ws, ws2=a.ws2 + b.ws2, w2=a.w2 + b.w2, ws3=a.ws3 + b.ws3,
                ws4=a.ws4 + b.ws4, scale=a.scale)


def set_sums(q, w=None, axis=-1):
    """The dict of sums of set-metric quantities ``q`` (name -> array) along ``axis``."""
    some = next(iter(q.values()))
    w = np.ones_like(some) if w is None else w
    out = {k: (w * v).sum(axis) for k, v in q.items()}
    n = some.shape[axis]
    out.update(n=np.full(np.shape(out[next(iter(q))]), n, dtype=np.int64), w=w.sum(axis), w2=(w * w).sum(axis))
    return out

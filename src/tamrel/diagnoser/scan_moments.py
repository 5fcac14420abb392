"""Per-region sums of per-row scores and the weighted moments every test reads from them.

A region's held-out rows enter the tests only through sums (one entry per region), so
that the kernels can produce them in one pass and merge them over blocks. The weighted
forms are written here once:

* weighted mean ``m = sum w s / sum w``;
* central moments ``m_k = sum w (s - m)^k / sum w`` (k = 2, 3, 4), from the raw sums;
* effective size ``n_eff``: Kish's ``(sum w)^2 / sum w^2`` for sampling weights (each row
  a draw with its own inclusion weight), the true weight sum ``scale * sum w`` for
  frequency weights (a row of weight k stands for k identical rows); without weights
  both are the row count;
* squared standard error of the mean ``se^2 = m_2 / (n_eff - 1)``, which is the
  unweighted ``s^2 / n`` (s with ddof 1) when every weight is 1.

"Fewer than two rows" is decided on the exact counts ``n``, never on rounded sums.
"""

from dataclasses import dataclass, fields

import numpy as np

__all__ = ["Sums", "Moments", "moments", "check_weights_kind", "WEIGHTS_KINDS"]

WEIGHTS_KINDS = ("sampling", "frequency")
_EPS = np.finfo(np.float64).eps


def check_weights_kind(weights):
    if weights not in WEIGHTS_KINDS:
        raise ValueError(f'weights must be "sampling" or "frequency", got {weights!r}.')
    return weights


def _column(value, name, dtype):
    arr = np.asarray(value)
    if arr.ndim != 1:
        raise ValueError(f"Sums.{name} must be one-dimensional, got shape {arr.shape}.")
    if dtype is np.int64:
        if arr.dtype.kind not in "iu":
            raise ValueError(f"Sums.n must hold integer row counts, got dtype {arr.dtype}.")
        arr = arr.astype(np.int64, copy=False)
        if arr.size and arr.min() < 0:
            raise ValueError("Sums.n holds a negative row count.")
        return arr
    if arr.dtype.kind not in "biuf":
        raise ValueError(f"Sums.{name} must be numeric, got dtype {arr.dtype}.")
    arr = arr.astype(np.float64, copy=False)
    if not np.all(np.isfinite(arr)):
        raise ValueError(f"Sums.{name} holds non-finite values; scale the weights and scores so that no sum "
                         "overflows.")
    return arr


def _positive_scale(value, name):
    value = float(value)
    if not (np.isfinite(value) and value > 0):
        raise ValueError(f"Sums.{name} must be a positive finite number, got {value!r}.")
    return value


@dataclass(frozen=True)
class Sums:
    """Sums over the held-out rows of each region (arrays of equal length, one entry a region).

    ``w`` are the weights as the kernels summed them (1 per row without weights), scaled by
    a power of two so that no sum overflows: the true weight is ``w * scale``. The scores
    may be scaled the same way: the true score is ``s * score_scale``. ``ws3``/``ws4`` are
    needed for the interval of a region's mean (its skewness and kurtosis); a rest or a
    paired difference can do without them.
    """

    n: np.ndarray     # int64 row counts
    w: np.ndarray     # sum of w
    ws: np.ndarray    # sum of w * s
    ws2: np.ndarray   # sum of w * s**2
    w2: np.ndarray    # sum of w**2
    ws3: np.ndarray | None = None  # sum of w * s**3
    ws4: np.ndarray | None = None  # sum of w * s**4
    scale: float = 1.0
    score_scale: float = 1.0

    def __post_init__(self):
        length = None
        for f in fields(self):
            value = getattr(self, f.name)
            if f.name in ("scale", "score_scale"):
                object.__setattr__(self, f.name, _positive_scale(value, f.name))
                continue
            if value is None and f.name in ("ws3", "ws4"):
                continue
            arr = _column(value, f.name, np.int64 if f.name == "n" else np.float64)
            if length is not None and arr.shape[0] != length:
                raise ValueError(f"Sums.{f.name} has {arr.shape[0]} entries but Sums.n has {length}.")
            length = arr.shape[0]
            object.__setattr__(self, f.name, arr)
        if np.any(self.w < 0) or np.any(self.w2 < 0):
            raise ValueError("Sums.w and Sums.w2 must not be negative (weights are never negative).")

    def __len__(self):
        return self.n.shape[0]

    def rest(self, total):
        """``total`` minus these sums: the rest of the held-out rows of each region.

        ``total`` is a Sums of one entry (the whole held-out subset) or of one entry per
        region. Counts subtract exactly. A rest whose weight sums the subtraction cannot
        tell from zero (below the rounding of a sum of ``total.n`` terms) has no weight.
        """
        if (total.scale, total.score_scale) != (self.scale, self.score_scale):
            raise ValueError("total and region Sums must share scale and score_scale.")
        diff = {}
        for f in ("n", "w", "ws", "ws2", "w2", "ws3", "ws4"):
            a, b = getattr(total, f), getattr(self, f)
            diff[f] = None if a is None or b is None else a - b
        if np.any(diff["n"] < 0):
            raise ValueError("A region holds more rows than the total (Sums.n).")
        noise = 2.0 * np.maximum(total.n, 1) * _EPS
        # (a w2 of 0 beside a positive w is a sum of squares lost to underflow, not a lost rest)
        lost = (diff["w"] <= noise * total.w) | ((diff["w2"] <= noise * total.w2) & (total.w2 > 0))
        for f in ("w", "ws", "ws2", "w2", "ws3", "ws4"):
            if diff[f] is not None:
                diff[f] = np.where(lost, 0.0, diff[f])
        diff["w"], diff["w2"] = np.maximum(diff["w"], 0.0), np.maximum(diff["w2"], 0.0)
        return Sums(**diff, scale=self.scale, score_scale=self.score_scale)


@dataclass(frozen=True)
class Moments:
    """Weighted moments of the scores of each region, in the scores' true units."""

    n: np.ndarray       # row counts
    mean: np.ndarray    # weighted mean
    m2: np.ndarray      # weighted central second moment (divisor sum w)
    size: np.ndarray    # effective size (Kish's or the true weight sum)
    var: np.ndarray     # squared standard error of the mean, m2 / (size - 1)
    valid: np.ndarray   # at least two rows, positive weight and an effective size above 1
    skew: np.ndarray | None = None   # m3 / m2**1.5 (0 where m2 is 0)
    kurt: np.ndarray | None = None   # m4 / m2**2 (3 where m2 is 0)


def effective_size(n, w, w2, scale, weights):
    """Kish's ``w * (w / w2)`` for sampling weights, else ``scale * w``; at most the row count."""
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        if weights == "sampling":
            # Cauchy-Schwarz bounds Kish's size by n; w2 lost to underflow (subnormal weights) gives n
            size = np.minimum(w * (w / w2), n)
        else:
            size = w * scale
        size = np.where(w > 0, size, 0.0)
    return size


def moments(sums, weights="sampling", higher=False):
    """Weighted mean, spread and effective size of each region (see the module docstring).

    With ``higher=True`` also the skewness and kurtosis (needs ``ws3`` and ``ws4``).
    """
    check_weights_kind(weights)
    w, n, c = sums.w, sums.n, sums.score_scale
    size = effective_size(n, w, sums.w2, sums.scale, weights)
    with np.errstate(divide="ignore", invalid="ignore", over="ignore", under="ignore"):
        mean = sums.ws / w
        e2 = sums.ws2 / w
        m2 = np.maximum(e2 - mean * mean, 0.0)
        var = m2 / (size - 1.0)
    valid = (n >= 2) & (w > 0) & (size > 1.0) & np.isfinite(mean) & np.isfinite(var)
    skew = kurt = None
    if higher:
        if sums.ws3 is None or sums.ws4 is None:
            raise ValueError("The interval of a region's mean needs Sums.ws3 and Sums.ws4 (sums of w*s**3, w*s**4).")
        skew, kurt = _shape(mean, e2, sums.ws3 / np.where(w > 0, w, 1.0), sums.ws4 / np.where(w > 0, w, 1.0), m2)
    mean, var = mean * c, var * (c * c)
    return Moments(n, mean, m2 * (c * c), size, np.where(valid, var, np.nan), valid, skew, kurt)


def _shape(mean, e2, e3, e4, m2):
    """Skewness and kurtosis from raw moments, kept inside Pearson's bound kurt >= skew**2 + 1."""
    with np.errstate(divide="ignore", invalid="ignore", over="ignore", under="ignore"):
        mm = mean * mean
        m3 = e3 - 3.0 * mean * e2 + 2.0 * mm * mean
        m4 = e4 - 4.0 * mean * e3 + 6.0 * mm * e2 - 3.0 * mm * mm
        flat = ~(m2 > 0)
        kurt = np.where(flat, 3.0, m4 / (m2 * m2))
        kurt = np.where(np.isfinite(kurt), np.maximum(kurt, 1.0), 3.0)
        skew = np.where(flat, 0.0, m3 / (m2 * np.sqrt(m2)))
        bound = np.sqrt(kurt - 1.0)
        skew = np.clip(np.where(np.isfinite(skew), skew, 0.0), -bound, bound)
    return skew, kurt

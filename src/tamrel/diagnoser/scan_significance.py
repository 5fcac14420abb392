"""Significance of scanned regions on the rows that did not choose them (interim)."""

from dataclasses import dataclass

import numpy as np
import scipy.stats

__all__ = ["Sums", "Tested", "AucStats", "mean_test", "paired_test", "auc_test", "set_test", "benjamini_hochberg"]


@dataclass(frozen=True)
class Sums:
    n: np.ndarray
    w: np.ndarray
    ws: np.ndarray
    ws2: np.ndarray
    w2: np.ndarray
    scale: float = 1.0

    @classmethod
    def of(cls, fields, scale=1.0):
        return cls(*(np.asarray(fields[k]) for k in ("n", "w", "ws", "ws2", "w2")), scale=scale)

    def minus(self, other):
        return Sums(self.n - other.n, self.w - other.w, self.ws - other.ws, self.ws2 - other.ws2,
                    self.w2 - other.w2, self.scale)


@dataclass(frozen=True)
class AucStats:
    auc: np.ndarray
    var: np.ndarray
    n_pos: np.ndarray
    n_neg: np.ndarray

    @classmethod
    def of(cls, ranks):
        with np.errstate(divide="ignore", invalid="ignore"):
            wp, wn = ranks["w_pos"], ranks["w_neg"]
            auc = ranks["c1"] / (wp * wn)
            v10 = ranks["c2"] / (wn * wn)  # sum w V10^2
            s10 = (v10 - wp * auc * auc) / (wp - 1.0)
            v01 = (ranks["w_neg"] * wp * wp - 2 * wp * ranks["b1"] + ranks["b2"]) / (wp * wp)
            s01 = (v01 - wn * auc * auc) / (wn - 1.0)
            var = s10 / wp + s01 / wn
        return cls(auc, var, ranks["n_pos"], ranks["n_neg"])


@dataclass(frozen=True)
class Tested:
    p: np.ndarray
    ci_low: np.ndarray
    ci_high: np.ndarray


def _moments(s):
    with np.errstate(divide="ignore", invalid="ignore"):
        mean = s.ws / s.w
        n_eff = s.w * s.w / s.w2
        var = np.maximum(s.ws2 / s.w - mean * mean, 0.0) * n_eff / (n_eff - 1.0)
        return mean, var / n_eff, n_eff


def mean_test(region, total, *, sign, alpha, multiplier=1.0, null="rest", weights="sampling", binary=False,
              bounds=(-np.inf, np.inf), min_rows=2):
    m1, v1, n1 = _moments(region)
    rest = total.minus(region)
    m2, v2, n2 = _moments(rest)
    with np.errstate(divide="ignore", invalid="ignore"):
        se = np.sqrt(v1 + v2)
        df = (v1 + v2) ** 2 / (v1 * v1 / (n1 - 1.0) + v2 * v2 / (n2 - 1.0))
        diff = sign * (m2 - m1)
        p = scipy.stats.t.sf(diff / se, df)
        flat = (se == 0) & np.isfinite(diff)
        p = np.where(flat, np.where(diff > 0, 0.0, 1.0), p)
        valid = (region.n >= max(min_rows, 2)) & (rest.n >= 2) & np.isfinite(m1) & np.isfinite(m2)
        p = np.where(valid, p, np.nan)
        half = scipy.stats.t.ppf(1.0 - alpha / 2.0, n1 - 1.0) * np.sqrt(v1)
        half = np.where(region.n >= 2, half, np.nan)
    return Tested(p, np.clip(m1 - half, *bounds), np.clip(m1 + half, *bounds))


def paired_test(diff, *, alpha, weights="sampling", min_rows=2):
    m, v, n = _moments(diff)
    with np.errstate(divide="ignore", invalid="ignore"):
        se = np.sqrt(v)
        p = scipy.stats.t.sf(m / se, n - 1.0)
        p = np.where((se == 0) & np.isfinite(m), np.where(m > 0, 0.0, 1.0), p)
        p = np.where(diff.n >= max(min_rows, 2), p, np.nan)
        half = scipy.stats.t.ppf(1.0 - alpha / 2.0, n - 1.0) * se
    return Tested(p, m - half, m + half)


def auc_test(region, rest, *, alpha, bounds=(0.0, 1.0), min_rows=2):
    with np.errstate(divide="ignore", invalid="ignore"):
        se = np.sqrt(region.var + rest.var)
        p = scipy.stats.norm.sf((rest.auc - region.auc) / se)
        ok = (region.n_pos >= 2) & (region.n_neg >= 2) & (rest.n_pos >= 2) & (rest.n_neg >= 2)
        p = np.where(ok, p, np.nan)
        half = scipy.stats.norm.ppf(1 - alpha / 2) * np.sqrt(region.var)
    return Tested(p, np.clip(region.auc - half, *bounds), np.clip(region.auc + half, *bounds))


def set_test(metric, region, rest, *, alpha, bounds, weights="sampling", min_rows=2):
    n = len(next(iter(region.values())).n)
    nan = np.full(n, np.nan)
    return Tested(nan, nan.copy(), nan.copy())


def benjamini_hochberg(p):
    p = np.asarray(p, dtype=np.float64)
    q = np.full(p.shape, np.nan)
    ok = np.isfinite(p)
    if ok.any():
        q[ok] = np.minimum(np.maximum(scipy.stats.false_discovery_control(p[ok], method="bh"), p[ok]), 1.0)
    return q

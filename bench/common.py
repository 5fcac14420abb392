"""Shared pieces of the frailzone benchmarks: the data, timing, and the floor."""

import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "diagnoser"))

N_ROWS, N_FEATURES = 1_000_000, 5


def make_data(seed=0):
    """1,000,000 x 5 rows, a model that is worse for large X1, random 80/20 split."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(N_ROWS, N_FEATURES))
    pred = x @ np.array([1.0, -0.5, 0.3, 0.0, 0.2])
    y = pred + rng.normal(size=N_ROWS) * (0.3 + 1.5 * (x[:, 1] > 1.0) + 0.8 * (x[:, 2] < -1.2))
    perm = rng.permutation(N_ROWS)
    cut = int(0.8 * N_ROWS)
    return x, y, pred, perm[:cut], perm[cut:]


def best_time(fn, repeat=5):
    """Best wall time of `fn()` over `repeat` runs, and its last result."""
    best, out = float("inf"), None
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return best, out


def best_times(fns, repeat=5):
    """best_time of several functions timed in turn, round after round, so that a busy spell
    of the machine weighs on all of them alike: a (best time, last result) per function."""
    best, out = [float("inf")] * len(fns), [None] * len(fns)
    for _ in range(repeat):
        for k, fn in enumerate(fns):
            t0 = time.perf_counter()
            out[k] = fn()
            best[k] = min(best[k], time.perf_counter() - t0)
    return list(zip(best, out))


def floor(x, y, pred, train_idx, test_idx, scoring_func):
    """What any implementation pays: the subset copies and one scoring call."""
    trx, try_, trp = x[train_idx], y[train_idx], pred[train_idx]
    tex, tey, tep = x[test_idx], y[test_idx], pred[test_idx]
    return scoring_func(try_, trp), trx, tex, tey, tep


def report(name, t_project, t_numpy, t_floor):
    print(f"{name:<34} project {t_project * 1e3:8.1f} ms | numpy {t_numpy * 1e3:8.1f} ms "
          f"| floor {t_floor * 1e3:8.1f} ms | project/floor {t_project / t_floor:5.2f} "
          f"| numpy/project {t_numpy / t_project:5.2f}")

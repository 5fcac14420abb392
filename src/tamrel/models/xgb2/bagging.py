"""Training of the bagged depth-2 models: bags of XGBoost ensembles, main effects first.

Each bag holds out a share of the rows (stratified by class for a classifier) for early
stopping and trains on the rest, in two stages on one margin:

1. main effects: stumps (one split of one feature per round; an interaction constraint
   per feature), until the held-out loss has not improved for ``early_stopping_rounds``
   (an improvement lowers the best loss by more than ``early_stopping_tolerance`` of it);
2. pairs: the same booster boosted further with trees of ``pair_depth`` whose paths stay
   within one chosen pair, stopped the same way; its rounds are kept only where they improve
   on the first stage's held-out loss.

The pairs are chosen between the stages, once for all bags: every pair's interaction
strength (``_pair_strengths``) on the residual of each bag's first stage, over that bag's
training rows only, summed over the bags; the strongest pairs are kept. Bags train in
parallel threads of one XGBoost thread each, so that the result does not depend on the
thread count; each stage's rounds run in the compiled loop ``_boost_stage`` (XGBoost's C
functions round after round, without the interpreter).
"""

import numbers
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field, replace
import os

import numpy as np

from ...settings import check
from .bagged_settings import auto_max_bin

__all__ = ["Bag", "BagPlan", "TrainedBags", "plan", "train", "trained_bags", "split_rows", "choose_pairs", "strength_table", "bag_margins"]


@dataclass
class BagPlan:
    """The checked settings of one fit (max_bin None until the row count resolves it)."""

    n_bags: int
    learning_rate: float
    max_rounds: int
    early_stopping_rounds: int
    tolerance: float
    validation_fraction: float
    pair_depth: int
    max_interaction_bins: int
    reg_lambda: float
    min_child_weight: float
    max_bin: object
    n_threads: int
    random_state: int
    classifier: bool
    monotone: str
    n_features: int
    pairs_wanted: object  # an int count, or the list of (a, b) pairs given

    def for_rows(self, n_rows):
        """The plan with max_bin resolved for a fit on n_rows rows (a bag trains on the share
        that it does not hold out)."""
        if self.max_bin is not None:
            return self
        return replace(self, max_bin=auto_max_bin(n_rows * (1.0 - self.validation_fraction)))

    def xgb_params(self, bag, constraints):
        """XGBoost's parameters for one stage of one bag: stumps for the main effects (each
        round one split of one feature, the smallest step), trees of pair_depth for the pairs
        (each within one pair by its interaction constraint)."""
        main = all(len(c) == 1 for c in constraints)
        return {"objective": "binary:logistic" if self.classifier else "reg:squarederror",
                "eval_metric": "logloss" if self.classifier else "rmse", "eta": self.learning_rate,
                "max_depth": 1 if main else self.pair_depth, "tree_method": "hist", "max_bin": self.max_bin,
                "reg_lambda": self.reg_lambda, "min_child_weight": self.min_child_weight,
                "monotone_constraints": self.monotone, "interaction_constraints": str([list(c) for c in constraints]),
                "nthread": 1, "seed": self.random_state * 1009 + bag}


@dataclass
class TrainedBags:
    """What training leaves: one booster per bag, the chosen pairs, the summed strength of
    every pair (a < b, in order), per bag its held-out rows and its rounds per stage."""

    boosters: list
    pairs: list
    strengths: np.ndarray
    held_out: list
    rounds: list = field(default_factory=list)


def _pairs_wanted(interactions, names):
    """A count of pairs (the checked count, or share of the feature count), or the explicit
    pairs as sorted index tuples."""
    p = len(names)
    if isinstance(interactions, numbers.Real):
        count = interactions if isinstance(interactions, numbers.Integral) else int(round(interactions * p))
        return min(count, p * (p - 1) // 2)
    pairs = []
    for pair in interactions:
        pair = list(pair) if hasattr(pair, "__iter__") and not isinstance(pair, (str, bytes)) else [pair]
        if len(pair) != 2:
            raise ValueError(f"interactions must list pairs of two features, got {pair!r}")
        index = [_feature_index(f, names) for f in pair]
        if index[0] == index[1]:
            raise ValueError(f"interactions lists the pair {tuple(pair)!r} of one feature")
        key = tuple(sorted(index))
        if key not in pairs:
            pairs.append(key)
    return pairs


def _feature_index(feature, names):
    if isinstance(feature, str):
        if names.count(feature) != 1:
            raise ValueError(f"interactions names {feature!r}, which is not one of the features {names!r}")
        return names.index(feature)
    if isinstance(feature, bool) or not isinstance(feature, numbers.Integral):
        raise TypeError(f"interactions must name features by name or index, got {feature!r}")
    if not 0 <= feature < len(names):
        raise ValueError(f"a feature index of interactions must lie in [0, {len(names) - 1}], got {feature!r}")
    return int(feature)


def plan(est, table, names, monotone, classifier):
    """The estimator's settings checked by its table, for a fit on features `names`."""
    s = check(est, table)
    return BagPlan(n_bags=s.n_bags, learning_rate=s.learning_rate, max_rounds=s.max_rounds,
                   early_stopping_rounds=s.early_stopping_rounds, tolerance=s.early_stopping_tolerance,
                   validation_fraction=s.validation_fraction, pair_depth=s.pair_depth,
                   max_interaction_bins=s.max_interaction_bins, reg_lambda=s.reg_lambda,
                   min_child_weight=s.min_child_weight, max_bin=s.max_bin,
                   n_threads=(os.cpu_count() or 1) if s.n_jobs is None else s.n_jobs, random_state=s.random_state,
                   classifier=classifier, monotone=monotone, n_features=len(names),
                   pairs_wanted=_pairs_wanted(s.interactions, list(names)))


def split_rows(y, plan_, bag):
    """(training rows, held-out rows) of one bag: a share validation_fraction held out, drawn
    within each class for a classifier; at least one row on each side."""
    rng = np.random.default_rng([plan_.random_state, bag])
    groups = [np.flatnonzero(y == c) for c in np.unique(y)] if plan_.classifier else [np.arange(len(y))]
    held = []
    for rows in groups:
        count = int(round(plan_.validation_fraction * len(rows)))
        held.append(rng.permutation(rows)[:count])
    held = np.sort(np.concatenate(held))
    if held.size == 0 or held.size == len(y):
        raise ValueError(f"validation_fraction={plan_.validation_fraction} leaves no rows to hold out of "
                         f"{len(y)} for early stopping")
    keep = np.ones(len(y), dtype=bool)
    keep[held] = False
    return np.flatnonzero(keep), held


def gradients(y, margin, w, classifier):
    """The loss's first and second derivatives at the margin, weighted (squared error: the
    residual and 1; log loss: p - y and p (1 - p))."""
    if classifier:
        p = 1.0 / (1.0 + np.exp(-margin))
        return (p - y) * w, np.maximum(p * (1.0 - p), 1e-16) * w
    return (margin - y) * w, np.asarray(w, dtype=np.float64)


def choose_pairs(strengths, plan_):
    """The pairs to boost: the given ones, or the strongest with a positive strength (ties in
    pair order)."""
    if isinstance(plan_.pairs_wanted, list):
        return plan_.pairs_wanted
    p = plan_.n_features
    all_pairs = [(a, b) for a in range(p) for b in range(a + 1, p)]
    order = np.argsort(-np.asarray(strengths), kind="stable")[:plan_.pairs_wanted]
    return sorted(all_pairs[k] for k in order if strengths[k] > 0)


def xgboost_api():
    """The addresses of the XGBoost C functions that the boosting loop calls (from the library
    the xgboost package loaded)."""
    import ctypes

    import xgboost
    from xgboost import core

    names = ("XGBoosterUpdateOneIter", "XGBoosterEvalOneIter", "XGBGetLastError")
    # core._LIB is XGBoost's own handle on its library, not a public name: where a release
    # moves it, say so instead of failing somewhere inside fit.
    library = getattr(core, "_LIB", None)
    if library is None or not all(hasattr(library, name) for name in names):
        raise ImportError(f"The bagged depth-2 models drive XGBoost's C functions through xgboost.core._LIB, which "
                          f"XGBoost {xgboost.__version__} does not provide; install an XGBoost release that the "
                          f"package supports (see pyproject.toml).")
    return tuple(ctypes.cast(getattr(library, name), ctypes.c_void_p).value for name in names)


@dataclass
class Bag:
    """One bag while it trains. `train`: its training rows (positions; on Dask, the training
    weights, zero on held-out rows); `held`: its held-out rows (positions; on Dask, flags);
    `loss`: the held-out loss of its booster so far; `main_rounds`: the rounds of its main
    effects stage."""

    train: np.ndarray
    held: np.ndarray
    dtrain: object
    dheld: object
    booster: object = None
    loss: float = np.inf
    main_rounds: int = 0


def _stage(kernels, api, booster, state, plan_, first_round):
    """Boosts `booster` on the bag's training rows until early stopping on its held-out rows;
    the booster cut to the kept rounds, or None where no round improved on state.loss."""
    kept, loss, _ = kernels._boost_stage(api, booster.handle.value, state.dtrain.handle.value,
                                         state.dheld.handle.value, first_round, plan_.max_rounds,
                                         plan_.early_stopping_rounds, plan_.tolerance, state.loss)
    if kept == 0:
        return None
    state.loss = loss
    return booster[:first_round + kept]


def _main_stage(xgboost, kernels, api, X, y, w, plan_, bag):
    train_rows, held = split_rows(y, plan_, bag)
    # One thread per DMatrix: the bags already fill the cores, and starting a thread team
    # for a small matrix costs more than sketching it.
    state = Bag(train_rows, held, xgboost.DMatrix(X[train_rows], y[train_rows], weight=w[train_rows], nthread=1),
                 xgboost.DMatrix(X[held], y[held], weight=w[held], nthread=1))
    singles = [[f] for f in range(plan_.n_features)]
    booster = xgboost.Booster(plan_.xgb_params(bag, singles), [state.dtrain, state.dheld])
    state.booster = _stage(kernels, api, booster, state, plan_, 0)
    state.main_rounds = state.booster.num_boosted_rounds()
    return state


def _bag_strengths(kernels, X, y, w, cuts, state, plan_):
    """The pair strengths on the residual of the bag's main stage, over its training rows."""
    margin = np.zeros(len(y))
    margin[state.train] = state.booster.predict(state.dtrain, output_margin=True)
    grad, hess = gradients(y, margin, w, plan_.classifier)
    G, H = kernels._pair_sums(cuts, X, state.train, grad, hess)
    return kernels._pair_strengths(cuts, G, H, plan_.reg_lambda, plan_.min_child_weight)


def _pair_stage(kernels, api, plan_, bag, state, pairs):
    if pairs:  # kept only where a round improves on the main stage's held-out loss
        booster = state.booster[:]
        booster.set_param(plan_.xgb_params(bag, pairs))
        state.booster = _stage(kernels, api, booster, state, plan_, state.main_rounds) or state.booster
    state.booster.set_param({"nthread": plan_.n_threads})  # for predictions; results do not depend on it
    return state


def train(X, y, w, plan_):
    """Trains plan_.n_bags bags on rows X (float64, NaN for missing), targets y (0/1 for a
    classifier) and weights w; returns TrainedBags."""
    import xgboost

    from . import xgboost as kernels

    X = np.asarray(X, dtype=np.float64)
    plan_ = plan_.for_rows(len(y))
    api = xgboost_api()
    with ThreadPoolExecutor(max_workers=max(1, min(plan_.n_threads, plan_.n_bags))) as pool:
        states = list(pool.map(lambda b: _main_stage(xgboost, kernels, api, X, y, w, plan_, b), range(plan_.n_bags)))
        strengths = np.zeros(plan_.n_features * (plan_.n_features - 1) // 2)
        if not isinstance(plan_.pairs_wanted, list) and plan_.pairs_wanted > 0:
            # Cut points from the values of X alone (no targets), shared by the bags so that
            # their strengths add up.
            cuts = kernels._pair_cuts(X, np.arange(len(y)), plan_.max_interaction_bins)
            for s in pool.map(lambda st: _bag_strengths(kernels, X, y, w, cuts, st, plan_), states):
                strengths += s
        pairs = choose_pairs(strengths, plan_)
        states = list(pool.map(lambda b: _pair_stage(kernels, api, plan_, b, states[b], pairs), range(plan_.n_bags)))
    return trained_bags(states, pairs, strengths)


def trained_bags(states, pairs, strengths):
    """What training leaves, from the bags (`Bag`) after both stages."""
    return TrainedBags(boosters=[s.booster for s in states], pairs=pairs, strengths=strengths,
                       held_out=[s.held for s in states],
                       rounds=[(s.main_rounds, s.booster.num_boosted_rounds() - s.main_rounds) for s in states])


def strength_table(trained, names):
    """Every pair's summed strength as a table, strongest first: "pair" ("a x b"), "fidx",
    "strength"."""
    import pandas as pd

    p = len(names)
    pairs = [(a, b) for a in range(p) for b in range(a + 1, p)]
    table = pd.DataFrame({"pair": [f"{names[a]} x {names[b]}" for a, b in pairs], "fidx": pairs,
                          "strength": np.asarray(trained.strengths, dtype=np.float64)})
    return table.sort_values("strength", ascending=False, kind="stable").reset_index(drop=True)


def bag_margins(boosters, X):
    """The average of the bags' margins on the rows of X (float32 sums in each bag, as XGBoost
    predicts; the average in float64)."""
    X = np.asarray(X, dtype=np.float64)
    total = np.zeros(X.shape[0])
    for booster in boosters:
        total += booster.inplace_predict(X, predict_type="margin")
    return total / len(boosters)

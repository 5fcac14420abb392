"""Training of the bagged depth-2 models on Dask collections, through xgboost.dask.

The stages and the choice of pairs are those of ``bagging`` (see there); what differs is how
a bag holds out its rows. The rows never gather: each bag draws, partition by partition, a
held-out flag per row (a share ``validation_fraction``, from a seed of the bag and the
partition; not stratified), and trains on every row with the held-out rows at weight zero,
while early stopping weighs only the held-out rows. A row of weight zero adds nothing to
the gradient sums, the leaf values or the loss. The pair strengths are summed partition by
partition over the training rows; the cut points come from a sample of the rows.
"""

import numpy as np
import xgboost

from . import bagging
from .dask_support import _balanced, _client, _kernels

__all__ = ["train_bags"]

_SAMPLE_ROWS = 200_000  # rows the ranking's cut points are drawn from


def _held_flags(block, fraction, seed, bag, block_info=None):
    index = block_info[0]["chunk-location"][0] if block_info else 0
    rng = np.random.default_rng([seed, bag, index])
    return rng.random(block.shape[0]) < fraction


def _weights(y, w, plan_, bag):
    """(training weights, held-out weights, held-out flags) as Dask arrays of y's blocks."""
    held = y.map_blocks(_held_flags, plan_.validation_fraction, plan_.random_state, bag, dtype=bool)
    import dask.array as da

    base = da.ones_like(y, dtype=np.float32) if w is None else w
    return base * ~held, base * held, held


def _row_count(y):
    import math

    n = y.shape[0]
    return int(n) if not math.isnan(n) else int(y.map_blocks(lambda b: np.array([len(b)]), dtype=np.int64,
                                                              chunks=(1,)).sum().compute())


def _every_kth(block, k):
    return np.asarray(block[::k], dtype=np.float64)


def _cuts(X, plan_):
    import dask

    k = max(1, int(np.ceil(X.shape[0] / _SAMPLE_ROWS)))
    sample = np.vstack(dask.compute(*[dask.delayed(_every_kth)(b, k) for b in X.to_delayed().ravel()]))
    return _kernels()._pair_cuts(sample, np.arange(sample.shape[0]), plan_.max_interaction_bins)


def _block_sums(cuts, X, y, w_train, margin, classifier):
    X = np.asarray(X, dtype=np.float64)
    rows = np.flatnonzero(np.asarray(w_train) > 0)
    grad, hess = bagging.gradients(np.asarray(y, dtype=np.float64), np.asarray(margin, dtype=np.float64),
                                   np.asarray(w_train, dtype=np.float64), classifier)
    return _kernels()._pair_sums(cuts, X, rows, grad, hess)


def _strengths(client, booster, X, y, w_train, cuts, plan_):
    import dask
    from xgboost import dask as dxgb

    margin = dxgb.inplace_predict(client, booster, X, predict_type="margin")
    parts = [dask.delayed(_block_sums)(cuts, *blocks, plan_.classifier)
             for blocks in zip(*(a.to_delayed().ravel() for a in (X, y, w_train, margin)))]
    sums = dask.compute(*parts)
    G = np.sum([s[0] for s in sums], axis=0)
    H = np.sum([s[1] for s in sums], axis=0)
    return _kernels()._pair_strengths(cuts, G, H, plan_.reg_lambda, plan_.min_child_weight)


class _StopRule(xgboost.callback.TrainingCallback):
    """Ends xgboost.dask's training where the bagged models' early-stopping rule ends a stage
    (the rule of _boost_stage, replayed over the held-out losses so far)."""

    def __init__(self, plan_, start_loss):
        super().__init__()
        self.rule = (plan_.max_rounds, plan_.early_stopping_rounds, plan_.tolerance, start_loss)

    def after_iteration(self, model, epoch, evals_log):
        return bool(_kernels()._replay_stage(_losses(evals_log), *self.rule)[3])


def _losses(history):
    (metrics,) = history["held_out"].values()
    return [float(v) for v in metrics]


def _stage(client, params, dtrain, dheld, plan_, model=None, start_loss=np.inf):
    """(booster cut to the kept rounds or None where none improved, their held-out loss)."""
    from xgboost import dask as dxgb

    stop = _StopRule(plan_, start_loss)
    out = dxgb.train(client, params, dtrain, num_boost_round=plan_.max_rounds, evals=[(dheld, "held_out")],
                     callbacks=[stop], verbose_eval=False, xgb_model=model)
    kept, loss, _, _ = _kernels()._replay_stage(_losses(out["history"]), *stop.rule)
    first = 0 if model is None else model.num_boosted_rounds()
    return (out["booster"][:first + kept], loss) if kept else (None, start_loss)


def train_bags(X, y, w, plan_):
    """bagging.train for Dask arrays X, y, w (w may be None) on the running client; the
    held-out rows are returned as flags per row (Dask arrays)."""
    from xgboost import dask as dxgb

    client = _client()
    X, y, w = _balanced(client, X, y, w)
    plan_ = plan_.for_rows(_row_count(y))
    states, strengths = [], np.zeros(plan_.n_features * (plan_.n_features - 1) // 2)
    want_ranking = not isinstance(plan_.pairs_wanted, list) and plan_.pairs_wanted > 0
    cuts = _cuts(X, plan_) if want_ranking else None
    singles = [[f] for f in range(plan_.n_features)]
    for bag in range(plan_.n_bags):
        w_train, w_held, held = _weights(y, w, plan_, bag)
        state = bagging.Bag(w_train, held, dxgb.DaskDMatrix(client, X, y, weight=w_train),
                             dxgb.DaskDMatrix(client, X, y, weight=w_held))
        state.booster, state.loss = _stage(client, plan_.xgb_params(bag, singles), state.dtrain, state.dheld, plan_)
        state.main_rounds = state.booster.num_boosted_rounds()
        states.append(state)
        if want_ranking:
            strengths += _strengths(client, state.booster, X, y, w_train, cuts, plan_)
    pairs = bagging.choose_pairs(strengths, plan_)
    for bag, state in enumerate(states):
        if pairs:
            booster, _ = _stage(client, plan_.xgb_params(bag, pairs), state.dtrain, state.dheld, plan_,
                                model=state.booster, start_loss=state.loss)
            state.booster = booster or state.booster
        state.booster.set_param({"nthread": plan_.n_threads})
    return bagging.trained_bags(states, pairs, strengths)

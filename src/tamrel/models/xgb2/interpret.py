"""Exact decomposition of a trained depth-2 XGBoost ensemble into functional-ANOVA effects."""

import json

import numpy as np

from . import dask_support

__all__ = ["XGBInterpreter", "read_bags", "parse_bags"]

# Objectives whose base score is a probability (margin = logit) or a mean (margin = log).
_LOGIT_LINK = {"binary:logistic", "binary:logitraw", "reg:logistic"}
_LOG_LINK = {"count:poisson", "reg:gamma", "reg:tweedie", "survival:cox", "survival:aft"}


def _float32(values):
    return np.asarray(values, dtype=np.float32).astype(np.float64)


def _base_margin(learner):
    """XGBoost's base score on the margin scale (a one-entry list in recent versions)."""
    text = learner["learner_model_param"]["base_score"].strip("[] ")
    scores = _float32([float(s) for s in text.split(",")])
    if scores.size != 1:
        raise ValueError("only single-output models can be decomposed")
    score = float(scores[0])
    objective = learner["objective"]["name"]
    if objective in _LOGIT_LINK:
        return float(np.log(score / (1.0 - score)))
    if objective in _LOG_LINK:
        return float(np.log(score))
    return score


def _read_trees(booster, default_left=False):
    """The trees as flat node arrays (offsets, left, right, feature, value, and with
    default_left each node's default direction for missing values) and the base margin."""
    learner = json.loads(booster.save_raw(raw_format="json"))["learner"]
    booster_model = learner["gradient_booster"]
    if booster_model.get("name") != "gbtree":
        raise ValueError("only gbtree boosters can be decomposed")
    if int(learner["learner_model_param"].get("num_class", "0")) > 1:
        raise ValueError("only single-output models can be decomposed")
    trees = booster_model["model"]["trees"]
    if any(any(t.get("split_type", ())) for t in trees):
        raise ValueError("categorical splits cannot be decomposed")
    sizes = [len(t["left_children"]) for t in trees]
    offsets = np.concatenate([[0], np.cumsum(sizes, dtype=np.int64)]).astype(np.int64)

    def flat(key, dtype):
        parts = [np.asarray(t[key], dtype=dtype) for t in trees]
        return np.concatenate(parts) if parts else np.empty(0, dtype=dtype)

    nodes = (offsets, flat("left_children", np.int64), flat("right_children", np.int64),
             flat("split_indices", np.int64), _float32(flat("split_conditions", np.float64)))
    if default_left:
        nodes += (flat("default_left", np.int64),)
    return nodes, _base_margin(learner)


def read_bags(boosters):
    """The bags as _parse_bags takes them: (offsets, left, right, feature, value,
    default_left, base_margin) per booster."""
    bags = []
    for booster in boosters:
        nodes, base_margin = _read_trees(booster, default_left=True)
        bags.append(nodes + (base_margin,))
    return bags


class XGBInterpreter:
    """Decompose a trained XGBoost model of depth at most 2 into effects.

    The model's margin (``predict(X, output_margin=True)``) becomes ``intercept_`` plus
    one main effect per feature that any tree uses plus one interaction per pair of
    features that some tree splits on together, exactly for every X (a value is routed
    by ``float32(x) < threshold``, as XGBoost does).

    Parameters
    ----------
    model : xgboost.XGBRegressor or xgboost.XGBClassifier
        A trained single-output gbtree model whose trees have depth at most 2.
    purification : bool, default=True
        Move each interaction's weighted row and column means into the two main effects
        and each main effect's weighted mean into the intercept, so that every effect has
        zero weighted mean along each axis; the sum is unchanged. Main effects then live on
        the union of their feature's split points.
    true_to_data : bool, default=False
        The weights of purification. False: a cell's probability under the product of the
        per-feature bin frequencies of X (one pass centres exactly). True: the joint
        empirical distribution of the pair in X (row and column centring alternate until
        every mean is below 1e-10; cells without data keep their values).
    feature_names : list of str, optional
        One name per column; defaults to the booster's names or "X0", "X1", ...
    feature_types : list of str, optional
        One type per column, kept as ``feature_types_``.

    Attributes
    ----------
    intercept_ : float
        The base margin plus all constant parts of the trees (and, with purification, the
        effects' means); for a model without any split, its constant margin.
    effects_ : dict
        ``{"1D": {feature index: record}, "2D": {(i, j): record}}``, ascending; a record has
        "fidx" (``(i,)`` or the sorted pair ``(i, j)``), "name", "split_unique_list" (one
        sorted array of split points per feature of the effect) and "values" (length
        k + 1, or a (k1 + 1, k2 + 1) table over the cells of the two features).
    """

    def __init__(self, model, purification=True, true_to_data=False, feature_names=None, feature_types=None):
        self.model = model
        self.purification = purification
        self.true_to_data = true_to_data
        self.feature_names = feature_names
        self.feature_types = feature_types

    def _names(self, booster, n_features):
        names = self.feature_names
        if names is None:
            names = booster.feature_names or [f"X{i}" for i in range(n_features)]
        if len(names) != n_features:
            raise ValueError(f"feature_names has {len(names)} entries, but the model has {n_features} features")
        return list(names)

    def fit(self, X):
        """Decompose the model; X (the training data) gives the purification weights.

        Parameters
        ----------
        X : np.ndarray of shape (n_samples, n_features)
            Data features, without NaN; a Dask array gives its cell counts partition by
            partition.

        Returns
        -------
        self : XGBInterpreter
        """
        from . import xgboost as kernels  # compiled; imported late since it imports this module

        booster = self.model.get_booster()
        n_features = booster.num_features()
        names = self._names(booster, n_features)
        nodes, base_margin = _read_trees(booster)
        # The kernel checks X (numeric, two-dimensional, rows, column count, no NaN); a Dask
        # collection is summed into cell counts partition by partition instead.
        counts = None
        if dask_support.is_dask(X):
            counts = dask_support.cell_counts(nodes, n_features, X, bool(self.true_to_data))
        intercept, mains, pairs = kernels._parse_ensemble(
            *nodes, n_features, X if counts is None else None, bool(self.purification), bool(self.true_to_data),
            counts=counts)
        self.feature_names_ = names
        self.feature_types_ = list(self.feature_types) if self.feature_types is not None else None
        if mains or pairs:
            self.intercept_ = base_margin + intercept
        else:
            # No split anywhere: the margin is one constant, which XGBoost does not always
            # derive from the stored base score (without trees it returns that score raw).
            # Any row gives that constant.
            self.intercept_ = float(booster.inplace_predict(np.zeros((1, n_features)), predict_type="margin")[0])
        self.effects_ = _records(mains, pairs, names)
        return self


def _records(mains, pairs, names):
    """The effect records of a decomposition's main effects and interactions."""
    return {
        "1D": {f: {"fidx": (f,), "name": names[f], "split_unique_list": [t], "values": v} for f, t, v in mains},
        "2D": {(a, b): {"fidx": (a, b), "name": f"{names[a]} x {names[b]}", "split_unique_list": [t1, t2],
                        "values": v}
               for a, b, t1, t2, v in pairs},
    }


def parse_bags(boosters, feature_names, X):
    """The average of bagged depth-2 boosters as (intercept, intercept spread, effects).

    The records are those of ``XGBInterpreter`` with a last cell per feature for missing
    values (``"missing": True``: NaN is routed as XGBoost routes it) and a "spread" of the
    values' shape, their standard deviation over the bags. Every bag is laid on the common
    grids and purified against X (product weights of the cell frequencies, NaN in the
    missing cells); the mean then sums to the average of the bags' margins on every row.
    A Dask X is summed into cell counts partition by partition.
    """
    from . import xgboost as kernels

    bags = read_bags(boosters)
    n_features = boosters[0].num_features()
    counts = dask_support.bag_cell_counts(bags, n_features, X) if dask_support.is_dask(X) else None
    mean, spread = kernels._parse_bags(bags, n_features, X if counts is None else None, counts=counts)
    effects = _records(mean[1], mean[2], list(feature_names))
    spreads = _records(spread[1], spread[2], list(feature_names))
    for kind in ("1D", "2D"):
        for key, record in effects[kind].items():
            record["missing"] = True
            record["spread"] = spreads[kind][key]["values"]
    return mean[0], spread[0], effects

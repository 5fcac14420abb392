"""Dask collections as input of the depth-2 models.

Training runs through ``xgboost.dask`` on the active ``distributed.Client``; predictions and
effect evaluations run partition by partition with the in-memory code; what parsing needs
of the training rows (cell counts) is summed over partitions. Dask is imported only once a
Dask collection arrives, so it stays an optional dependency.
"""

import copy

import numpy as np

from ...dask_parts import aligned_arrays
from ...utils import is_dask

__all__ = ["is_dask", "validate", "train", "train_bags", "predict", "map_rows", "cell_counts", "bag_cell_counts",
           "effect_variances", "column_histogram", "column_range", "missing_share", "effect_columns"]


def _kernels():
    from . import xgboost

    return xgboost


def _column_names(X):
    """The column names of a DataFrame when all are strings, as scikit-learn keeps them."""
    columns = getattr(X, "columns", None)
    if columns is None or not all(isinstance(c, str) for c in columns):
        return None
    return np.asarray(list(columns), dtype=object)


def _values(part):
    return part.to_numpy()


def _as_array(data, name, ndim):
    """A Dask array of rows (one block along the columns); DataFrames and Series by their values."""
    import dask
    import dask.array as da
    import dask.dataframe as dd

    if isinstance(data, (dd.DataFrame, dd.Series)):
        # One block per partition: the partitions of X and y then pair up even where the
        # reader would fuse the files of a narrow column selection differently.
        tail = data._meta.to_numpy().shape[1:]
        dtype = data._meta.to_numpy().dtype
        data = da.concatenate([da.from_delayed(dask.delayed(_values)(part), shape=(np.nan,) + tail, dtype=dtype)
                               for part in data.to_delayed()])
    elif not isinstance(data, da.Array):
        raise ValueError(f"{name} must be a Dask array, DataFrame or Series like X, got {type(data).__name__}")
    if ndim == 1 and data.ndim == 2 and data.shape[1] == 1:
        data = data[:, 0]
    if data.ndim != ndim:
        raise ValueError(f"{name} must be {ndim}-dimensional, got {data.ndim} dimension(s)")
    return data.rechunk({1: -1}) if ndim == 2 else data


def _paired(X, y, w):
    """A DataFrame X with Series y and w as Dask arrays cut from one frame, so that their
    blocks pair up (the package's one alignment rule, tamrel.dask_parts); other inputs
    unchanged."""
    import dask.dataframe as dd

    def column(part):
        return part.iloc[:, 0] if isinstance(part, dd.DataFrame) and len(part.columns) == 1 else part

    y, w = column(y), column(w)
    if not (isinstance(X, dd.DataFrame) and isinstance(y, dd.Series) and (w is None or isinstance(w, dd.Series))):
        return X, y, w
    metas = {None: X._meta.to_numpy(), "y": y._meta.to_numpy(), "w": None if w is None else w._meta.to_numpy()}
    arrays = aligned_arrays(X, {"y": y, "w": w}, metas)
    return arrays[0], arrays[1], arrays[2] if w is not None else None


# Below this magnitude float32 rounding stays finite (XGBoost stores X as float32).
_FLOAT32_LARGEST = float.fromhex("0x1.fffffefffffffp127")


def validate(est, X, y, sample_weight, allow_nan=False):
    """The Dask form of _validate_input: (X, y, weights) as Dask arrays of the same partitions,
    rows without positive weight dropped and the rest scaled to sum to the row count, the
    classifier's labels encoded as 0 and 1; and per column the count of values beyond the
    float32 range. One pass computes every check. With allow_nan, X may hold NaN (missing
    values) but no infinity."""
    import dask
    import dask.array as da
    from sklearn.base import is_classifier
    from sklearn.preprocessing import LabelBinarizer

    names = _column_names(X)
    X, y, w = _paired(X, y, sample_weight)
    X = _as_array(X, "X", 2)
    y = _as_array(y, "y", 1)
    w = None if w is None else _as_array(w, "sample_weight", 1)
    for name, part in (("y", y), ("sample_weight", w)):
        if part is not None and part.numblocks[0] != X.numblocks[0]:
            raise ValueError(f"{name} must have the same partitions as X")
    if X.shape[0] == 0:
        raise ValueError("X has no rows")
    if X.dtype.kind not in "biuf":
        raise ValueError(f"X must hold real numbers, got dtype {X.dtype}")
    classifier = is_classifier(est)
    if not classifier and y.dtype.kind not in "biuf":
        raise ValueError(f"y must hold real numbers, got dtype {y.dtype}")
    checks = {"X finite": (~da.isinf(X) if allow_nan else da.isfinite(X)).all(), "X lengths": _lengths(X),
              "y lengths": _lengths(y)}
    if w is not None:
        checks["w lengths"] = _lengths(w)
    if not classifier:
        checks["y finite"] = da.isfinite(y).all()
    if w is not None:  # without weights none are made: XGBoost trains the same as on ones
        w = w.astype(np.float64)
        checks["w finite"] = ~da.isinf(w).any()
        keep = w > 0
        # Scaled by the largest weight first so that huge finite weights cannot overflow the sum.
        largest = w.max()
        X, y, w = X[keep], y[keep], w[keep] / largest
        checks["total"] = w.sum()
    checks["lengths"] = _lengths(y if w is None else w)
    checks["beyond float32"] = (abs(X) > _FLOAT32_LARGEST).sum(axis=0)
    if classifier:
        checks["classes"] = da.unique(y)
    found = dict(zip(checks, dask.compute(*checks.values())))
    for name, key in (("y", "y lengths"), ("sample_weight", "w lengths")):
        if key in found and not np.array_equal(found[key], found["X lengths"]):
            raise ValueError(f"{name} must have the same partitions as X")
    if not found["X finite"]:
        raise ValueError("Input X contains infinity." if allow_nan else "Input X contains NaN or infinity.")
    if not found.get("y finite", True):
        raise ValueError("Input y contains NaN or infinity.")
    if not found.get("w finite", True):
        raise ValueError("Invalid sample_weight")
    lengths = found["lengths"]
    rows = int(lengths.sum())
    if rows == 0:
        raise ValueError("Invalid sample_weight: no sample weight is greater than zero." if "total" in found
                         else "X has no rows")
    if rows == 1:
        raise ValueError("n_samples=1")
    if "total" in found:
        w = w * rows / found["total"]
    X, y, w = (None if part is None else _nonempty_blocks(part, lengths) for part in (X, y, w))
    est.n_features_in_ = int(X.shape[1])
    if names is not None:
        est.feature_names_in_ = names
    elif "feature_names_in_" in vars(est):
        del est.feature_names_in_
    if classifier:
        y = _encode_labels(est, y, np.unique(found["classes"]), LabelBinarizer)
    return X, y, w, [int(c) for c in found["beyond float32"]]


def _block_length(block):
    return np.array([block.shape[0]], dtype=np.int64)


def _lengths(a):
    """The row count of every block (lazy)."""
    drop = {"drop_axis": 1} if a.ndim == 2 else {}
    return a.map_blocks(_block_length, chunks=((1,) * a.numblocks[0],), dtype=np.int64, **drop)


def _nonempty_blocks(a, lengths):
    """a with the sizes of its row blocks known and the empty ones left out (XGBoost's Dask
    interface fails on an empty partition)."""
    import dask.array as da

    blocks = a.to_delayed().ravel()
    return da.concatenate([da.from_delayed(block, shape=(int(n),) + a.shape[1:], dtype=a.dtype)
                           for block, n in zip(blocks, lengths) if n])


def _encode_labels(est, y, classes, binarizer_type):
    binarizer = binarizer_type().fit(classes)
    est.label_binarizer_ = binarizer
    est.classes_ = binarizer.classes_
    if len(classes) > 2:
        raise ValueError("multi-classification not supported. Only binary classification is supported.")
    if len(classes) == 1:
        raise ValueError("Classifier can't train when only one class is present.")
    return (y == classes[1]).astype(np.float64)


def _client():
    try:
        from distributed import default_client

        return default_client()
    except (ImportError, ValueError):
        raise ValueError("Training on Dask data runs on a Dask cluster, but no distributed.Client is running: "
                         "start one with Client(LocalCluster()) or connect to a cluster with "
                         "Client('scheduler-address')") from None


def _release_read_buffers():
    """Hands back to the system the memory that Arrow's allocator keeps from reading the
    data (Parquet), before training needs it."""
    import sys

    if "pyarrow" in sys.modules:
        release = getattr(sys.modules["pyarrow"].default_memory_pool(), "release_unused", None)
        if release is not None:  # pyarrow 9 and later
            release()


def _balanced(client, X, y, sample_weight):
    """X, y and the weights as float32 (as XGBoost keeps them: half the bytes of their
    partitions), held on the workers and spread evenly over them, so that no worker
    trains on more rows than its share."""
    from distributed import futures_of

    parts = [None if p is None else p.astype(np.float32) for p in (X, y, sample_weight)]
    held = client.persist([p for p in parts if p is not None])
    client.rebalance([f for p in held for f in futures_of(p)])
    client.run(_release_read_buffers)
    it = iter(held)
    X, y, sample_weight = (None if p is None else next(it) for p in parts)
    return X, y, sample_weight


def train(estimator, X, y, sample_weight):
    """Trains estimator's settings through xgboost.dask and hands the booster to estimator."""
    import xgboost
    from xgboost import dask as dxgb

    client = _client()
    kind = dxgb.DaskXGBClassifier if isinstance(estimator, xgboost.XGBClassifier) else dxgb.DaskXGBRegressor
    model = kind(**estimator.get_params())
    model.client = client
    X, y, sample_weight = _balanced(client, X, y, sample_weight)
    model.fit(X, y, sample_weight=sample_weight)
    estimator.load_model(bytearray(model.get_booster().save_raw(raw_format="ubj")))
    return estimator


def train_bags(X, y, sample_weight, plan):
    """The bagged models' training on the running client (see dask_bagging)."""
    from .dask_bagging import train_bags as train_on_client

    return train_on_client(X, y, sample_weight, plan)


def _probe(X):
    """One row shaped like X's partitions, to learn the shape and type of a result."""
    import dask.array as da

    if isinstance(X, da.Array):
        return np.ones((1,) + X.shape[1:], dtype=X.dtype)
    return X._meta_nonempty.iloc[:1]


def _on_rows(part, func, tail, dtype):
    if len(part) == 0:  # the in-memory methods refuse empty input
        return np.empty((0,) + tail, dtype=dtype)
    return np.asarray(func(part))


def map_rows(func, X):
    """func (rows -> one result per row) on each partition of a Dask array or DataFrame, as a Dask
    array of the same row partitions."""
    import dask
    import dask.array as da

    sample = np.asarray(func(_probe(X)))
    tail, dtype = sample.shape[1:], sample.dtype
    if isinstance(X, da.Array):
        if X.ndim != 2:
            raise ValueError(f"X must be two-dimensional, got {X.ndim} dimension(s)")
        X = X.rechunk({1: -1})
        if not tail:
            return X.map_blocks(_on_rows, func, tail, dtype, drop_axis=1, dtype=dtype)
        return X.map_blocks(_on_rows, func, tail, dtype, chunks=(X.chunks[0],) + tuple((n,) for n in tail),
                            dtype=dtype)
    parts = [dask.delayed(_on_rows)(part, func, tail, dtype) for part in X.to_delayed()]
    return da.concatenate([da.from_delayed(p, shape=(np.nan,) + tail, dtype=dtype) for p in parts])


def _effect_block(part, functions):
    part = np.asarray(part, dtype=np.float64)
    return np.column_stack([f(part) for f in functions]) if functions else np.empty((len(part), 0))


def effect_columns(functions, names, X):
    """Each effect's values (functions of the rows) on every partition of X, as a Dask
    DataFrame with one column per name."""
    import dask.dataframe as dd

    return dd.from_dask_array(map_rows(lambda part: _effect_block(part, functions), X), columns=list(names))


def predict(est, method, X):
    """est.method on each partition; the training data stay behind."""
    light = copy.copy(est)
    vars(light).pop("X_", None)
    return map_rows(getattr(light, method), X)


def _block_counts(nodes, n_features, block, joint):
    return _kernels()._count_cells(*nodes, n_features, np.asarray(block, dtype=np.float64), joint)


def _add_counts(parts):
    """Sums of (n_rows, [(feature, counts)], [joint counts]) over row blocks; whole numbers, so
    the order of the additions does not matter."""
    n_rows, marginal, joint = parts[0]
    marginal = [(f, c.copy()) for f, c in marginal]
    joint = [c.copy() for c in joint]
    for rows, more_marginal, more_joint in parts[1:]:
        n_rows += rows
        for (_, total), (_, c) in zip(marginal, more_marginal):
            total += c
        for total, c in zip(joint, more_joint):
            total += c
    return n_rows, marginal, joint


def cell_counts(nodes, n_features, X, joint):
    """The cell counts of purification over X's partitions (one pass, summed on the client)."""
    import dask

    X = _as_array(X, "X", 2)
    if X.shape[1] != n_features:
        raise ValueError(f"X has {X.shape[1]} columns, but the model was trained on {n_features} features")
    parts = [dask.delayed(_block_counts)(nodes, n_features, block, joint) for block in X.to_delayed().ravel()]
    counts = _add_counts(dask.compute(*parts))
    if counts[0] == 0:
        raise ValueError("X has no rows")
    return counts


def _cell_index(record, block):
    """The cell of every row in an effect's grid (row-major for an interaction; a missing
    cell per feature last, where the effect has one)."""
    kernels = _kernels()
    fidx, splits = record["fidx"], record["split_unique_list"]
    missing = bool(record.get("missing", False))
    n1 = len(splits[0]) + 1 + missing
    if len(fidx) == 1:
        return kernels._predict_effect_1d(block, fidx[0], splits[0], np.arange(float(n1)), True, missing)
    cells = np.arange(float(n1 * (len(splits[1]) + 1 + missing))).reshape(n1, -1)
    return kernels._predict_effect_2d(block, fidx[0], fidx[1], splits[0], splits[1], cells, True, missing)


def _effect_cell_counts(records, block):
    block = np.asarray(block, dtype=np.float64)
    return [np.bincount(_cell_index(r, block).astype(np.intp), minlength=np.size(r["values"])).astype(np.float64)
            for r in records]


def effect_variances(records, X):
    """Each effect's variance over the rows of X, from its cell counts summed over partitions."""
    import dask

    X = _as_array(X, "X", 2)
    parts = dask.compute(*[dask.delayed(_effect_cell_counts)(records, block) for block in X.to_delayed().ravel()])
    variances = []
    for k, record in enumerate(records):
        counts = np.sum([p[k] for p in parts], axis=0)
        n = counts.sum()
        if n == 0:
            variances.append(0.0)
            continue
        values = np.ravel(np.asarray(record["values"], dtype=np.float64))
        mean = np.dot(counts, values) / n
        variances.append(float(np.dot(counts, (values - mean) ** 2) / n))
    return variances


def column_range(X, column):
    """[min, max] of one column of a Dask array (NaN left out)."""
    import dask
    import dask.array as da

    X = _as_array(X, "X", 2)
    return np.array(dask.compute(da.nanmin(X[:, column]), da.nanmax(X[:, column])), dtype=np.float64)


def missing_share(X, column):
    """The share of NaN in one column of a Dask array."""
    import dask.array as da

    X = _as_array(X, "X", 2)
    return float(da.isnan(X[:, column]).mean().compute())


def _block_bag_counts(bags, n_features, block):
    return _kernels()._count_bag_cells(bags, n_features, np.asarray(block, dtype=np.float64))


def bag_cell_counts(bags, n_features, X):
    """The cell counts of the bagged decomposition over X's partitions, summed on the client."""
    import dask

    X = _as_array(X, "X", 2)
    if X.shape[1] != n_features:
        raise ValueError(f"X has {X.shape[1]} columns, but the model was trained on {n_features} features")
    parts = [dask.delayed(_block_bag_counts)(bags, n_features, block) for block in X.to_delayed().ravel()]
    counts = _add_counts(dask.compute(*parts))
    if counts[0] == 0:
        raise ValueError("X has no rows")
    return counts


def column_histogram(X, column, edges):
    """Counts of one column of a Dask array in the bins of ``edges``, missing values left out."""
    import dask.array as da

    values = _as_array(X, "X", 2)[:, column]
    counts, _ = da.histogram(values[da.isfinite(values)], bins=np.asarray(edges, dtype=np.float64))
    return np.asarray(counts.compute(), dtype=np.float64)

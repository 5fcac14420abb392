"""One rule for cutting Dask inputs that belong together into the same partitions, for the
scan and the depth-2 models.

The columns a caller hands beside ``x`` (the response, predictions, weights, subset masks)
are Dask Series of a Dask DataFrame ``x``, or Dask arrays with the row blocks of a Dask
array ``x``. A reader may fuse the files of a narrow column selection differently from the
whole frame's, so the Series are assigned onto ``x`` as columns and cut from that one frame:
every partition then holds the same rows of ``x`` and of each extra.
"""

import numpy as np

__all__ = ["aligned_partitions", "aligned_arrays"]

_EXTRA = "__tamrel_{}__"


def _split_frame(part, columns, names):
    return part[columns], {n: part[_EXTRA.format(n)].to_numpy() for n in names}


def _split_arrays(block, extras):
    return block, {n: np.asarray(v) for n, v in extras.items()}


def aligned_partitions(x, extras, refuse=ValueError):
    """Delayed (rows of x, {name: values}) per partition, the extras (None ones left out) cut
    alongside x. `refuse` is the exception class for extras that do not fit x."""
    import dask
    import dask.array as da
    import dask.dataframe as dd

    extras = {k: v for k, v in extras.items() if v is not None}
    if isinstance(x, dd.DataFrame):
        columns = {}
        for name, v in extras.items():
            if isinstance(v, dd.DataFrame) and len(v.columns) == 1:
                v = v.iloc[:, 0]
            if not isinstance(v, dd.Series):
                raise refuse(f"{name} must be a Dask Series with the partitions of x (a Dask DataFrame).")
            columns[_EXTRA.format(name)] = v
        frame = x.assign(**columns) if columns else x
        return [dask.delayed(_split_frame)(p, list(x.columns), list(extras)) for p in frame.to_delayed()]
    if not isinstance(x, da.Array) or x.ndim != 2:
        raise refuse("x must be a two-dimensional Dask array or a Dask DataFrame.")
    x = x.rechunk({1: -1})
    blocks = {}
    for name, v in extras.items():
        if not isinstance(v, da.Array) or v.numblocks[0] != x.numblocks[0]:
            raise refuse(f"{name} must be a Dask array with the row partitions of x.")
        blocks[name] = v.to_delayed().ravel()
    xs = x.to_delayed().ravel()
    return [dask.delayed(_split_arrays)(xs[i], {n: b[i] for n, b in blocks.items()}) for i in range(len(xs))]


def _values_of(part, name):
    frame, extras = part
    return (frame.to_numpy() if hasattr(frame, "to_numpy") else np.asarray(frame)) if name is None else extras[name]


def aligned_arrays(x, extras, metas, refuse=ValueError):
    """Dask arrays of x and of each extra, one block per partition of aligned_partitions:
    their blocks pair up. `metas` gives a zero-row NumPy array of the dtype and trailing
    shape of x (key None) and of each extra."""
    import dask
    import dask.array as da

    parts = aligned_partitions(x, extras, refuse)
    names = [None] + [n for n, v in extras.items() if v is not None]
    return [da.concatenate([da.from_delayed(dask.delayed(_values_of)(p, name), shape=(np.nan,) + metas[name].shape[1:],
                                            dtype=metas[name].dtype) for p in parts]) for name in names]

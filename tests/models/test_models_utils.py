"""The effect prediction builders: cells, float32 routing, layouts and bad input."""

import numpy as np
import pytest

from tamrel.models.utils import predict_1D_func_tree, predict_2D_func_tree

rng = np.random.default_rng(3)
SPLITS = np.sort(rng.normal(size=6)).astype(np.float32).astype(float)
SPLITS2 = np.array([-1.0, 0.1 + 0.0, 2.5])
VALUES = rng.normal(size=7)
TABLE = rng.normal(size=(7, 4))


def cells(column, splits, float32=True):
    column = column.astype(np.float32) if float32 else column
    return np.searchsorted(splits, column, side="right")


def test_main_effect_matches_searchsorted():
    X = rng.normal(size=(1000, 3))
    X[:6, 1] = SPLITS  # on the thresholds: right of them
    f = predict_1D_func_tree((1,), SPLITS, VALUES, True)
    np.testing.assert_array_equal(f(X), VALUES[cells(X[:, 1], SPLITS)])
    np.testing.assert_array_equal(f(X)[:6], VALUES[1:])
    np.testing.assert_array_equal(predict_1D_func_tree(1, SPLITS, VALUES)(X), f(X))


def test_float32_flag():
    t = float(np.float32(0.1))  # 0.10000000149...
    below = np.nextafter(t, -np.inf)  # rounds up to t in float32
    X = np.array([[below], [0.1], [t]])
    np.testing.assert_array_equal(predict_1D_func_tree((0,), [t], [0.0, 1.0], True)(X), [1, 1, 1])
    np.testing.assert_array_equal(predict_1D_func_tree((0,), [t], [0.0, 1.0], False)(X), [0, 0, 1])
    extreme = np.array([[1e300], [-1e300], [np.inf], [-np.inf]])
    np.testing.assert_array_equal(predict_1D_func_tree((0,), [t], [0.0, 1.0])(extreme), [1, 0, 1, 0])


def test_interaction_layout_and_order():
    X = rng.normal(size=(500, 4))
    expected = TABLE[cells(X[:, 0], SPLITS), cells(X[:, 3], SPLITS2)]
    for fidx in [(0, 3), (3, 0), [3, 0]]:
        np.testing.assert_array_equal(predict_2D_func_tree(fidx, SPLITS, SPLITS2, TABLE, True)(X), expected)


def test_memory_layouts():
    X = rng.normal(size=(300, 5))
    f = predict_2D_func_tree((1, 4), SPLITS, SPLITS2, TABLE)
    expected = f(X)
    readonly = X.copy()
    readonly.flags.writeable = False
    for view in (np.asfortranarray(X), readonly, X.astype(np.float32).astype(float), X[:, :].copy()):
        np.testing.assert_array_equal(f(view), expected)
    wide = np.zeros((300, 10))
    wide[:, ::2] = X
    np.testing.assert_array_equal(f(wide[:, ::2]), expected)
    assert f(X[:0]).shape == (0,)
    np.testing.assert_array_equal(f(X.tolist()), expected)


def test_bad_input():
    f = predict_1D_func_tree((2,), SPLITS, VALUES)
    g = predict_2D_func_tree((0, 2), SPLITS, SPLITS2, TABLE)
    for h in (f, g):
        for X, message in [(np.zeros(3), "two-dimensional"), (np.zeros((3, 2)), "column"),
                           (np.full((3, 3), np.nan), "NaN"), (np.full((2, 3), "x"), "numeric"),
                           (np.full((2, 3), "1"), "numeric"), (np.ones((2, 3), dtype=complex), "Complex"),
                           ([[1j, 0, 0]], "Complex")]:
            with pytest.raises(ValueError, match=message):
                h(X)
    builders = [lambda: predict_1D_func_tree((0,), SPLITS, VALUES[:-1]),
                lambda: predict_1D_func_tree((0,), SPLITS[::-1], VALUES),
                lambda: predict_1D_func_tree((0,), [np.nan], [1, 2]),
                lambda: predict_1D_func_tree((-1,), SPLITS, VALUES),
                lambda: predict_1D_func_tree((0, 1), SPLITS, VALUES),
                lambda: predict_1D_func_tree(("a",), SPLITS, VALUES),
                lambda: predict_2D_func_tree((1, 1), SPLITS, SPLITS2, TABLE),
                lambda: predict_2D_func_tree((0, 1), SPLITS, SPLITS2, TABLE.T),
                lambda: predict_1D_func_tree((2**70,), SPLITS, VALUES),
                lambda: predict_2D_func_tree((0, 2**70), SPLITS, SPLITS2, TABLE),
                lambda: predict_1D_func_tree((0,), SPLITS, VALUES.astype(str)),
                lambda: predict_1D_func_tree((0,), SPLITS.astype(str), VALUES),
                lambda: predict_2D_func_tree((0, 1), SPLITS, SPLITS2, [["a"] * 4] * 7),
                lambda: predict_1D_func_tree((0,), SPLITS, VALUES + 0j),
                lambda: predict_2D_func_tree((0, 1), SPLITS.astype(complex), SPLITS2, TABLE),
                lambda: predict_1D_func_tree((0,), SPLITS, np.array([1j] * 7, dtype=object))]
    for build in builders:
        with pytest.raises(ValueError):
            build()

"""The bagged depth-2 models: exact decomposition (NaN, monotone constraints), the pair
ranking, early stopping on held-out rows only, settings, pickling and the effect plot."""

import pickle

import numpy as np
import pytest
import xgboost
from sklearn.base import clone

from tamrel.models.xgb2 import bagging
from tamrel.models.xgb2 import xgboost as ext
from tamrel.models.xgb2.xgboost import XGB2BaggedClassifier, XGB2BaggedRegressor

rng = np.random.default_rng(11)
N = 800
X = rng.normal(size=(N, 4))
Y = X[:, 0] + np.sin(2 * X[:, 1]) + 1.5 * X[:, 2] * X[:, 3] + 0.3 * rng.normal(size=N)
X_NAN = X.copy()
X_NAN[rng.random(N) < 0.15, 1] = np.nan
X_NAN[rng.random(N) < 0.05, 2] = np.nan
FAST = dict(n_bags=3, learning_rate=0.2, max_rounds=200, early_stopping_rounds=10, n_jobs=2)


def decomposition_gap(model, data):
    view = model.parse_model()
    total = view.intercept_ + view.contributions(data).sum(axis=1).to_numpy()
    margin = model.decision_function(data) if hasattr(model, "decision_function") else model.predict(data)
    return np.abs(total - margin).max()


@pytest.mark.parametrize("cls", [XGB2BaggedRegressor, XGB2BaggedClassifier])
@pytest.mark.parametrize("data", ["plain", "nan", "monotone", "deep"])
def test_intercept_plus_effects_is_the_average_margin(cls, data):
    x = X_NAN if data in ("nan", "deep") else X
    y = Y if cls is XGB2BaggedRegressor else Y > 0.5
    mono = dict(mono_increasing_list=("X0",), mono_decreasing_list=("X2",)) if data == "monotone" else {}
    depth = dict(pair_depth=6) if data == "deep" else {}  # paths of one tree within different pairs
    model = cls(**FAST, **mono, **depth).fit(x, y)
    fresh = rng.normal(size=(300, 4)) * 2
    fresh[::7, 0] = np.nan  # missing where training had none: the default directions still hold
    fresh[::5, 1] = np.nan
    for rows in (x, fresh):
        assert decomposition_gap(model, rows) < 1e-5
    margins = np.column_stack([b.inplace_predict(x, predict_type="margin") for b in model.boosters_])
    assert decomposition_gap(model, x) < 1e-5 and np.allclose(margins.mean(axis=1), bagging.bag_margins(model.boosters_, x))
    for kind in ("1D", "2D"):
        for record in model.effects_[kind].values():
            assert record["missing"] and record["spread"].shape == record["values"].shape
            assert np.all(record["spread"] >= 0)
    assert model.interactions_ and set(model.interactions_) <= set(model.effects_["2D"])
    if data == "deep":  # nodes three levels down: the pair stage took the depth
        assert any(line.startswith("\t" * 3) for b in model.boosters_ for tree in b.get_dump()
                   for line in tree.splitlines())
    if data == "monotone":  # the whole model, along the constrained features
        grid = np.linspace(-3, 3, 61)
        for feature, sign in ((0, 1), (2, -1)):
            rows = np.repeat(X[:40], len(grid), axis=0)
            rows[:, feature] = np.tile(grid, 40)
            steps = np.diff(bagging.bag_margins(model.boosters_, rows).reshape(40, -1), axis=1)
            assert np.all(sign * steps >= -1e-6)


# A depth-3 tree whose paths split on (f0, f1) or (f0, f2): node, left, right, feature,
# threshold or leaf value, default direction.
DEEP_TREE = [(0, 1, 2, 0, 0.0, 1), (1, 3, 4, 1, 0.5, 0), (2, 5, 6, 2, -0.5, 1), (3, 7, 8, 1, -1.0, 1),
             (4, -1, -1, 0, 1.0, 0), (5, 9, 10, 0, 1.0, 0), (6, -1, -1, 0, -2.0, 0), (7, -1, -1, 0, 0.5, 0),
             (8, -1, -1, 0, 3.0, 0), (9, -1, -1, 0, -1.0, 0), (10, -1, -1, 0, 4.0, 0)]


def route(tree, row):
    node = 0
    while tree[node][1] >= 0:
        _, left, right, feature, threshold, default_left = tree[node]
        x = row[feature]
        node = (left if default_left else right) if np.isnan(x) else (left if x < threshold else right)
    return tree[node][4]


def bag_of(tree, base_margin=0.25):
    nodes = np.array([t[:4] for t in tree], dtype=np.int64)
    return (np.array([0, len(tree)], dtype=np.int64), nodes[:, 1], nodes[:, 2], nodes[:, 3],
            np.array([t[4] for t in tree]), np.array([t[5] for t in tree], dtype=np.int64), base_margin)


def test_deep_trees_decompose_by_their_paths():
    rows = rng.normal(size=(400, 3)) * 1.5
    rows[::6, 0] = np.nan
    rows[::5, 1] = np.nan
    rows[::7, 2] = np.nan
    mean, spread = ext._parse_bags([bag_of(DEEP_TREE)], 3, rows)
    intercept, mains, pairs = mean
    total = np.full(len(rows), intercept)
    for feature, thresholds, values in mains:
        total += ext._predict_effect_1d(rows, feature, thresholds, values, missing=True)
    for a, b, t1, t2, table in pairs:
        total += ext._predict_effect_2d(rows, a, b, t1, t2, table, missing=True)
    expected = 0.25 + np.array([route(DEEP_TREE, r) for r in rows])
    np.testing.assert_allclose(total, expected, atol=1e-12)
    assert sorted((a, b) for a, b, *_ in pairs) == [(0, 1), (0, 2)] and spread[0] == 0.0
    three = [list(t) for t in DEEP_TREE]
    three[3][3] = 2  # the path f0, f1, f2
    with pytest.raises(ValueError, match="tree 0: a path splits on more than two features"):
        ext._parse_bags([bag_of(three)], 3, rows)


def reference_strength(G, H, na, nb, lam, mcw):
    """The gain of four free quadrant steps over additive ones, by least squares on the
    quadrants (weights H + lam), best over all cuts."""
    G = G.reshape(na + 1, nb + 1)[:na, :nb]
    H = H.reshape(na + 1, nb + 1)[:na, :nb]
    best = 0.0
    design = np.array([[1, 0, 0], [1, 0, 1], [1, 1, 0], [1, 1, 1]], dtype=float)
    for t in range(1, na):
        for u in range(1, nb):
            g = np.array([G[:t, :u].sum(), G[:t, u:].sum(), G[t:, :u].sum(), G[t:, u:].sum()])
            h = np.array([H[:t, :u].sum(), H[:t, u:].sum(), H[t:, :u].sum(), H[t:, u:].sum()])
            if h.min() < mcw:
                continue
            w = h + lam
            free = 0.5 * np.sum(g ** 2 / w)
            theta = np.linalg.solve(design.T @ (w[:, None] * design), -design.T @ g)
            additive = -(g @ (design @ theta) + 0.5 * np.sum(w * (design @ theta) ** 2))
            best = max(best, free - additive)
    return best


def test_pair_strengths_against_least_squares_and_planted_pairs():
    x = rng.normal(size=(2000, 3))
    x[::9, 2] = np.nan
    rows = np.arange(2000)
    cuts = ext._pair_cuts(x, rows, 8)
    assert all(len(c) == 7 for c in cuts)
    planted = x[:, 0] * x[:, 1]  # a residual of pure interaction
    additive = 3 * x[:, 0] - 2 * x[:, 1] + np.nan_to_num(x[:, 2])  # strong mains, no interaction
    strength_planted = None  # the planted residual runs first
    for residual in (planted, additive):
        G, H = ext._pair_sums(cuts, x, rows, -residual, np.ones(2000))
        strengths = ext._pair_strengths(cuts, G, H, 1.0, 5.0)
        offsets = np.cumsum([0, 9 * 9, 9 * 9])  # cells: 8 observed + 1 missing per feature
        for k, (size, got) in enumerate(zip([9 * 9] * 3, strengths)):
            na = len(cuts[[0, 0, 1][k]]) + 1
            nb = len(cuts[[1, 2, 2][k]]) + 1
            want = reference_strength(G[offsets[k]:offsets[k] + size], H[offsets[k]:offsets[k] + size], na, nb,
                                      1.0, 5.0)
            assert got == pytest.approx(want, rel=1e-9, abs=1e-9)
        for mcw in (300.0, 600.0):  # rules out the uneven cuts, then every cut
            bound = ext._pair_strengths(cuts, G, H, 1.0, mcw)[0]
            assert bound == pytest.approx(reference_strength(G[:81], H[:81], 8, 8, 1.0, mcw), rel=1e-9, abs=1e-9)
        assert bound == 0.0
        if residual is planted:
            assert strengths[0] > 50 * max(strengths[1:])
        else:  # 14 times the variance of the planted residual, but additive: little gain
            assert max(strengths) < 0.1 * strength_planted
        strength_planted = strengths[0]
    model = XGB2BaggedRegressor(**FAST, interactions=1).fit(X, Y)
    assert model.interactions_ == [(2, 3)]
    assert model.interaction_strengths_["fidx"][0] == (2, 3)
    null = XGB2BaggedRegressor(**FAST, interactions=1).fit(X, X[:, 0] + np.sin(2 * X[:, 1]) + 0.3 * rng.normal(size=N))
    table = null.interaction_strengths_
    assert table["strength"][0] < 0.05 * model.interaction_strengths_["strength"][0]  # noise only


def test_held_out_rows_serve_early_stopping_only(monkeypatch):
    seen = {"train": [], "evals": [], "ranking": []}
    labels = {}  # the labels of every DMatrix made, by its handle
    real_stage, real_sums = ext._boost_stage, ext._pair_sums

    class SpyDMatrix(xgboost.DMatrix):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            labels[self.handle.value] = self.get_label().copy()

    def spy_stage(api, booster, dtrain, dheld, *args):
        seen["train"].append(labels[dtrain])
        seen["evals"].append(labels[dheld])
        result = real_stage(api, booster, dtrain, dheld, *args)
        seen.setdefault("stages", []).append((args[-1], result))  # (loss to beat, (kept, loss, run))
        return result

    def spy_sums(cuts, x, rows, grad, hess):
        seen["ranking"].append(np.asarray(rows).copy())
        return real_sums(cuts, x, rows, grad, hess)

    monkeypatch.setattr(xgboost, "DMatrix", SpyDMatrix)
    monkeypatch.setattr(ext, "_boost_stage", spy_stage)
    monkeypatch.setattr(ext, "_pair_sums", spy_sums)
    y = np.arange(N, dtype=float) + 0.5 * Y  # distinct labels show which rows each DMatrix holds
    model = XGB2BaggedRegressor(**dict(FAST, n_jobs=1)).fit(X, y)
    assert len(seen["train"]) == 2 * model.n_bags and len(seen["ranking"]) == model.n_bags
    for bag, held in enumerate(model.held_out_rows_):
        assert len(held) == round(0.15 * N)
        trained = np.setdiff1d(np.arange(N), held)
        for stage in (bag, model.n_bags + bag):  # main effects, then pairs
            np.testing.assert_array_equal(np.sort(seen["evals"][stage]), np.sort(y[held].astype(np.float32)))
            np.testing.assert_array_equal(np.sort(seen["train"][stage]), np.sort(y[trained].astype(np.float32)))
        np.testing.assert_array_equal(seen["ranking"][bag], trained)
        # the pairs must beat the main stage's held-out loss, and the bag keeps what they earn
        (first, (kept, loss, _)), (start, (pair_kept, _, _)) = seen["stages"][bag], seen["stages"][model.n_bags + bag]
        assert first == np.inf and start == loss and model.bag_rounds_[bag] == (kept, pair_kept)
    assert all(main >= 1 and pairs >= 0 for main, pairs in model.bag_rounds_)


def test_stopping_rule_against_a_plain_replay():
    def reference(losses, max_rounds, patience, tol, start):
        best, kept, run = start, 0, 0
        for r, loss in enumerate(losses[:max_rounds]):
            if run - kept >= patience:
                break
            run = r + 1
            if loss < best - tol * abs(best) or (np.isinf(best) and loss < best):
                best, kept = loss, r + 1
        return kept, best, run, run >= max_rounds or run - kept >= patience

    gen = np.random.default_rng(3)
    for _ in range(200):
        losses = list(np.cumsum(gen.normal(-0.01, 0.05, size=gen.integers(1, 60))) + 5.0)
        args = (int(gen.integers(1, 80)), int(gen.integers(1, 8)), float(gen.choice([0.0, 1e-3, 1e-2])),
                float(gen.choice([np.inf, 5.0])))
        assert ext._replay_stage(losses, *args) == reference(losses, *args)
    assert ext._replay_stage([3.0, np.nan, 2.0], 10, 5, 0.0, np.inf)[:3] == (3, 2.0, 3)  # NaN never improves


def test_heavy_tailed_counts_beat_the_training_mean():
    # Counts with a heavy tail and a weak signal, as randhie's visits: every bag, on its own
    # held-out rows, and the average, on new rows, must beat the training mean.
    gen = np.random.default_rng(5)
    x = gen.normal(size=(1600, 4))
    mean = np.exp(0.7 * x[:, 0] + 0.5 * x[:, 1] * x[:, 2])
    y = gen.negative_binomial(0.5, 0.5 / (0.5 + mean)).astype(float)
    train, test = slice(0, 1200), slice(1200, None)
    model = XGB2BaggedRegressor(n_bags=4, max_rounds=400, n_jobs=2).fit(x[train], y[train])
    for booster, held in zip(model.boosters_, model.held_out_rows_):
        rest = np.setdiff1d(np.arange(1200), held)
        fitted = booster.inplace_predict(x[held], predict_type="margin")
        assert np.mean((y[held] - fitted) ** 2) < np.mean((y[held] - y[rest].mean()) ** 2)
    assert np.mean((y[test] - model.predict(x[test])) ** 2) < 0.97 * np.mean((y[test] - y[train].mean()) ** 2)


def test_stratified_held_out_rows_and_labels():
    y = np.where(Y > 1.5, "yes", "no")
    model = XGB2BaggedClassifier(**FAST).fit(X, y)
    for held in model.held_out_rows_:
        share = np.mean(y[held] == "yes")
        assert abs(share - np.mean(y == "yes")) < 0.02
    assert set(model.predict(X)) <= {"no", "yes"}
    proba = model.predict_proba(X)
    np.testing.assert_allclose(proba.sum(axis=1), 1.0)
    np.testing.assert_array_equal(model.predict(X), np.where(model.decision_function(X) > 0, "yes", "no"))


def test_settings_defaults_and_refusals():
    model = XGB2BaggedRegressor()
    params = model.get_params()
    assert 8 <= params["n_bags"] <= 16 and params["max_bin"] is None
    assert XGB2BaggedClassifier().get_params()["min_child_weight"] < params["min_child_weight"]
    assert XGB2BaggedRegressor(3, 0.1).n_bags == 3 and repr(XGB2BaggedRegressor(n_bags=3)) == \
        "XGB2BaggedRegressor(n_bags=3)"
    with pytest.raises(TypeError, match="unexpected keyword argument 'eta'"):
        XGB2BaggedRegressor(eta=0.1)
    with pytest.raises(TypeError, match="multiple values for argument 'n_bags'"):
        XGB2BaggedRegressor(3, n_bags=4)
    with pytest.raises(TypeError, match="too many positional arguments"):
        XGB2BaggedRegressor(*range(19))
    small = X[:60]
    for setting, error, message in [
            ({"n_bags": 0}, ValueError, "n_bags must be at least 1"),
            ({"n_bags": 2.0}, TypeError, "n_bags must be an integer"),
            ({"learning_rate": 0.0}, ValueError, r"learning_rate must lie in \(0, 1\]"),
            ({"early_stopping_tolerance": 1.0}, ValueError, r"early_stopping_tolerance must lie in \[0, 1\)"),
            ({"validation_fraction": 0.9}, ValueError, r"validation_fraction must lie in \(0, 0.5\]"),
            ({"pair_depth": 7}, ValueError, "pair_depth must be at most 6"),
            ({"pair_depth": 1}, ValueError, "pair_depth must be at least 2"),
            ({"max_bin": 1}, ValueError, "max_bin must be at least 2"),
            ({"interactions": "all"}, TypeError, "interactions must be a count"),
            ({"interactions": -1}, ValueError, "interactions must be at least 0"),
            ({"interactions": [("X0", "X0")]}, ValueError, "pair .* of one feature"),
            ({"interactions": [("X0", "zz")]}, ValueError, "'zz', which is not one of the features"),
            ({"interactions": [(0, 9)]}, ValueError, "feature index of interactions must lie"),
            ({"n_jobs": 0}, ValueError, "n_jobs must be at least 1"),
            ({"max_interaction_bins": 1}, ValueError, "max_interaction_bins must be at least 2")]:
        with pytest.raises(error, match=message):
            XGB2BaggedRegressor(**setting).fit(small, Y[:60])
    # a round must lower the held-out loss by half: only the first main round does
    assert XGB2BaggedRegressor(**FAST, early_stopping_tolerance=0.5).fit(X, Y).bag_rounds_ == [(1, 0)] * 3
    given = XGB2BaggedRegressor(**FAST, interactions=[("X3", "X2"), (0, 1)]).fit(X, Y)
    assert given.interactions_ == [(2, 3), (0, 1)]
    given.parse_model()
    assert set(given.effects_["2D"]) <= {(2, 3), (0, 1)}
    assert XGB2BaggedRegressor(**FAST, interactions=0).fit(X, Y).interactions_ == []


def test_histogram_bins_follow_the_rows():
    import json

    from tamrel.models.xgb2.bagged_settings import auto_max_bin

    assert [auto_max_bin(n) for n in (10, 330, 680, 15_000)] == [16, 16, 34, 256]

    def bins(model):
        return {json.loads(b.save_config())["learner"]["gradient_booster"]["tree_train_param"]["max_bin"]
                for b in model.boosters_}

    assert bins(XGB2BaggedRegressor(**FAST).fit(X, Y)) == {str(auto_max_bin(0.85 * N))}
    assert bins(XGB2BaggedRegressor(**FAST, max_bin=64).fit(X, Y)) == {"64"}


def test_pickle_clone_and_refit():
    model = XGB2BaggedClassifier(**FAST).fit(X_NAN, Y > 0)
    restored = pickle.loads(pickle.dumps(model))
    np.testing.assert_array_equal(restored.predict_proba(X_NAN), model.predict_proba(X_NAN))
    twin = clone(model).fit(X_NAN, Y > 0)
    np.testing.assert_array_equal(twin.decision_function(X_NAN), model.decision_function(X_NAN))
    one_thread = XGB2BaggedClassifier(**dict(FAST, n_jobs=1)).fit(X_NAN, Y > 0)
    np.testing.assert_array_equal(one_thread.decision_function(X_NAN), model.decision_function(X_NAN))


@pytest.mark.parametrize("library", [None, object()])
def test_a_moved_xgboost_library_handle_is_named(monkeypatch, library):
    # The boosting loop reads XGBoost's private library handle; a release without it (or
    # without one of the functions) gets a clear ImportError before any bag trains.
    monkeypatch.setattr(xgboost.core, "_LIB", library, raising=False)
    with pytest.raises(ImportError, match=r"xgboost\.core\._LIB.*" + xgboost.__version__.replace(".", r"\.")):
        XGB2BaggedRegressor(**FAST).fit(X, Y)


def test_plot_effect_band_and_missing(tmp_path):
    model = XGB2BaggedRegressor(**FAST).fit(X_NAN, Y)
    view = model.parse_model()
    grid = view.get_effect("X1")
    assert grid["values"].shape == grid["spread"].shape == (len(grid["split_points"][0]) + 1,)
    assert grid["missing_share"][0] == pytest.approx(np.isnan(X_NAN[:, 1]).mean())
    ax = view.plot_effect("X1").axes[0]
    labels = ax.get_legend_handles_labels()[1]
    assert labels[0].startswith("\u00b1 1 sd") and labels[-1].startswith("missing (")
    ax.figure.savefig(tmp_path / "effect.png")
    pair = view.get_effect(("X3", "X2"))
    assert pair["values"].shape == (len(pair["split_points"][0]) + 1, len(pair["split_points"][1]) + 1)
    assert pair["missing"].shape == tuple(n + 1 for n in pair["values"].shape)
    view.plot_effect(("X2", "X3"))
    plain = XGB2BaggedRegressor(**FAST).fit(X, Y).parse_model()
    assert "missing (" not in " ".join(plain.plot_effect("X1").axes[0].get_legend_handles_labels()[1])


def test_gradients_are_the_loss_derivatives():
    from scipy.special import expit

    gen = np.random.default_rng(2)
    margin, w = gen.normal(size=50) * 3, gen.uniform(0.5, 2.0, size=50)
    labels, values = (gen.random(50) < 0.4).astype(float), gen.normal(size=50)
    h = 1e-4
    for classifier, y in ((True, labels), (False, values)):
        def loss(m):  # per row: log loss of the logistic margin, or half the squared error
            return w * (np.logaddexp(0.0, m) - y * m if classifier else 0.5 * (m - y) ** 2)

        grad, hess = bagging.gradients(y, margin, w, classifier)
        np.testing.assert_allclose(grad, (loss(margin + h) - loss(margin - h)) / (2 * h), rtol=1e-5, atol=1e-8)
        np.testing.assert_allclose(hess, (loss(margin + h) - 2 * loss(margin) + loss(margin - h)) / h ** 2,
                                   rtol=1e-3, atol=1e-6)
    assert np.allclose(bagging.gradients(labels, margin, w, True)[0], (expit(margin) - labels) * w)


def test_choose_pairs_keeps_positive_strengths_in_order():
    plan = bagging.BagPlan(n_bags=1, learning_rate=0.1, max_rounds=1, early_stopping_rounds=1, tolerance=0.0,
                           validation_fraction=0.1, pair_depth=2, max_interaction_bins=4, reg_lambda=1.0,
                           min_child_weight=1.0,
                           max_bin=16, n_threads=1, random_state=0, classifier=False, monotone="(0, 0, 0, 0)",
                           n_features=4, pairs_wanted=3)
    strengths = np.array([0.0, 5.0, 1.0, 5.0, 0.0, 2.0])  # (0,1) (0,2) (0,3) (1,2) (1,3) (2,3)
    assert bagging.choose_pairs(strengths, plan) == [(0, 2), (1, 2), (2, 3)]
    plan.pairs_wanted = 6
    assert bagging.choose_pairs(strengths, plan) == [(0, 2), (0, 3), (1, 2), (2, 3)]

import numpy as np
import pandas as pd
import pytest
from sklearn import metrics

from tamrel.diagnoser.utils import get_scoring_metric
from tamrel.exceptions import TamrelError

rng = np.random.default_rng(0)
N = 60
Y_BIN = rng.integers(0, 2, N)
PROBA = rng.uniform(0.05, 0.95, N)
HARD = (PROBA > 0.5).astype(np.int64)
Y_REG = rng.normal(size=N)
PRED_REG = Y_REG + rng.normal(scale=0.5, size=N)
W = rng.uniform(0.1, 2.0, N)


def _binary_log_loss(y, p, sample_weight=None):
    return metrics.log_loss(y, p, sample_weight=sample_weight, labels=[0, 1])


# name, y, pred, sklearn reference, sign, needs_proba, additive
CASES = [
    ("MSE", Y_REG, PRED_REG, metrics.mean_squared_error, -1, False, True),
    ("MAE", Y_REG, PRED_REG, metrics.mean_absolute_error, -1, False, True),
    ("ACC", Y_BIN, HARD, metrics.accuracy_score, 1, False, True),
    ("LogLoss", Y_BIN, PROBA, _binary_log_loss, -1, True, True),
    ("Brier", Y_BIN, PROBA, metrics.brier_score_loss, -1, True, True),
    ("AUC", Y_BIN, PROBA, metrics.roc_auc_score, 1, True, False),
    ("F1", Y_BIN, HARD, metrics.f1_score, 1, False, False),
    ("R2", Y_REG, PRED_REG, metrics.r2_score, 1, False, False),
]


@pytest.mark.parametrize("name,y,pred,reference,sign,needs_proba,additive", CASES)
def test_metric_matches_sklearn(name, y, pred, reference, sign, needs_proba, additive):
    score_name, score_sign, func, proba, is_additive = get_scoring_metric(name.lower())
    assert (score_name, score_sign, proba, is_additive) == (name, sign, needs_proba, additive)
    for w in (None, W):
        expected = reference(y, pred, sample_weight=w)
        assert func(y, pred, sample_weight=w) == pytest.approx(expected, rel=1e-12)
        # column vectors are accepted
        assert func(y[:, None], pred[:, None], sample_weight=w) == pytest.approx(expected, rel=1e-12)
    if additive:
        per_sample = func(y, pred)
        assert per_sample.dtype == np.float64 and per_sample.shape == (N,)
        assert np.average(per_sample, weights=W) == pytest.approx(reference(y, pred, sample_weight=W))
        mean = get_scoring_metric(name, average=True)[2](y, pred)
        assert isinstance(mean, float) and mean == pytest.approx(reference(y, pred))
    else:
        assert func(y, pred) == pytest.approx(reference(y, pred), rel=1e-12)


def test_default_and_unknown_metric():
    assert get_scoring_metric(None)[:2] == ("MSE", -1)
    with pytest.raises(TamrelError, match='"LogLoss"'):
        get_scoring_metric("rmse")


def test_logloss_clips_certain_probabilities():
    loss = get_scoring_metric("LogLoss")[2]([1, 0, 1], [0.0, 1.0, 1.0])
    assert np.all(np.isfinite(loss)) and loss[0] == pytest.approx(-np.log(1e-15))
    assert loss[2] == pytest.approx(0.0, abs=1e-14)


def test_acc_compares_labels():
    acc = get_scoring_metric("ACC")[2]
    assert acc(np.array(["a", "b", "b"]), np.array(["a", "a", "b"])).tolist() == [1.0, 0.0, 1.0]


@pytest.mark.parametrize("name", [c[0] for c in CASES])
def test_undefined_slices_give_nan(name):
    func = get_scoring_metric(name)[2]
    assert np.isnan(func([], [], sample_weight=None))
    assert np.isnan(get_scoring_metric(name, average=True)[2]([], []))


def test_undefined_set_scores_give_nan():
    auc, f1, r2 = (get_scoring_metric(m)[2] for m in ("AUC", "F1", "R2"))
    assert np.isnan(auc([1, 1, 1], [0.2, 0.5, 0.9]))
    # the only row of class 0 carries no weight
    assert np.isnan(auc([0, 1, 1], [0.2, 0.5, 0.9], sample_weight=[0.0, 1.0, 1.0]))
    assert np.isnan(r2([1.0], [2.0]))
    assert np.isnan(f1([0, 0], [0, 0]))  # no positive anywhere


def test_zero_total_weight_gives_unweighted_score():
    for name in ("MSE", "ACC", "R2", "F1"):
        func = get_scoring_metric(name)[2]
        y, pred = (Y_REG, PRED_REG) if name in ("MSE", "R2") else (Y_BIN, HARD)
        assert func(y, pred, sample_weight=np.zeros(N)) == pytest.approx(func(y, pred, sample_weight=None))


def test_mismatched_lengths_raise():
    for name in ("MSE", "AUC"):
        with pytest.raises(ValueError):
            get_scoring_metric(name)[2](Y_BIN, PROBA[:-1])
    with pytest.raises(ValueError):
        get_scoring_metric("MSE")[2](Y_REG, PRED_REG, sample_weight=W[:-1])


LABELS = np.where(Y_BIN == 1, "yes", "no")


@pytest.mark.parametrize("name", ["LogLoss", "Brier", "AUC"])
def test_string_labels_with_probability_metrics(name):
    from tamrel.diagnoser.frailzone import FrailZone

    func = get_scoring_metric(name)[2]
    # without an estimator the larger label ("yes") is the positive class
    assert func(LABELS, PROBA, sample_weight=W) == pytest.approx(func(Y_BIN, PROBA, sample_weight=W), rel=1e-12)
    with pytest.raises(ValueError, match="two class labels"):
        func(np.append(LABELS[:-1], "maybe"), PROBA, sample_weight=None)

    class Model:  # an estimator whose positive class is its classes_[1], here the smaller label
        classes_ = np.array(["yes", "no"])

    x = np.c_[PROBA, Y_REG]
    for estimator, positive in [(None, Y_BIN), (Model(), 1 - Y_BIN)]:
        fits = []
        for model, y in ((estimator, LABELS), (None, positive)):  # labels, then their 0/1 reading
            fz = FrailZone(model, ["X1"], task_type="classification", metric=name, threshold=1.01,
                           min_samples=5)
            fz.fit(x, y, np.arange(40), np.arange(40, N), prediction_proba=PROBA)
            fits.append(fz)
        assert fits[0].diag.threshold_value == pytest.approx(fits[1].diag.threshold_value, rel=1e-12)
        assert fits[0].get_result().value["data"] is not None
        pd.testing.assert_frame_equal(fits[0].output, fits[1].output)
    with pytest.raises(ValueError, match="estimator's two classes"):
        FrailZone(Model(), ["X1"], task_type="classification", metric=name).fit(
            x, np.append(LABELS[:-1], "maybe"), np.arange(40), np.arange(40, N), prediction_proba=PROBA)


def test_weights_finite_and_scale_invariant():
    for name in ("MSE", "ACC", "R2", "F1", "AUC"):
        func = get_scoring_metric(name)[2]
        y, pred = (Y_REG, PRED_REG) if name in ("MSE", "R2") else (Y_BIN, PROBA if name == "AUC" else HARD)
        huge = func(y, pred, sample_weight=W * 1e306)
        assert huge == pytest.approx(func(y, pred, sample_weight=W), rel=1e-12)
        for bad in (np.nan, np.inf):
            with pytest.raises(ValueError, match="^sample_weight must hold finite values"):
                func(y, pred, sample_weight=np.r_[W[:-1], bad])
    # R2 of finite values far from 1 does not overflow
    assert get_scoring_metric("R2")[2](Y_REG * 1e200, PRED_REG * 1e200) == pytest.approx(
        metrics.r2_score(Y_REG, PRED_REG), rel=1e-9)

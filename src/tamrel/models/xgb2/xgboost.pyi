"""Interpretable depth-2 boosted trees (compiled module)."""

from typing import Any, Optional, Sequence, Union

import pandas as pd

import numpy as np
import xgboost
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin

from tamrel.models.interpreter import FANOVAInterpreter
from tamrel.models.xgb2.interpret import XGBInterpreter

class XGB2Base(BaseEstimator):
    n_estimators: int
    eta: float
    max_depth: int
    tree_method: str
    max_bin: int
    reg_lambda: float
    reg_alpha: float
    gamma: float
    feature_names: Optional[list[str]]
    feature_types: Optional[list[str]]
    mono_increasing_list: Sequence[str]
    mono_decreasing_list: Sequence[str]
    random_state: int
    n_features_in_: int
    feature_names_: list[str]
    feature_types_: list[str]
    xgb_params_: dict[str, Any]
    estimator_: Union[xgboost.XGBRegressor, xgboost.XGBClassifier]
    is_fitted_: bool
    X_: np.ndarray
    unp_: XGBInterpreter
    effects_: dict[str, dict[Any, dict[str, Any]]]
    intercept_: float
    n_splits_raw_: int
    def __init__(self, n_estimators: int = 100, eta: float = 0.3, max_depth: int = 2, tree_method: str = "auto",
                 max_bin: int = 20, reg_lambda: float = 1, reg_alpha: float = 0, gamma: float = 0,
                 feature_names: Optional[list[str]] = None, feature_types: Optional[list[str]] = None,
                 mono_increasing_list: Sequence[str] = (), mono_decreasing_list: Sequence[str] = (),
                 random_state: int = 0) -> None: ...
    def _base_extract_rules(self) -> dict[str, np.ndarray]: ...
    def _fit_xgb_raw(self, X: np.ndarray, y: np.ndarray, sample_weight: Optional[np.ndarray] = None) -> None: ...
    def fit(self, X: Any, y: Any, sample_weight: Optional[Any] = None) -> "XGB2Base": ...
    def partial_dependence(self, fidx: Union[str, Sequence[Union[int, str]]], X: np.ndarray) -> np.ndarray: ...
    def parse_model(self) -> Union[FANOVAInterpreter, str]: ...

class XGB2Regressor(RegressorMixin, XGB2Base):
    def __init__(self, n_estimators: int = 100, eta: float = 0.3, max_depth: int = 2, tree_method: str = "auto",
                 max_bin: int = 256, reg_lambda: float = 0, reg_alpha: float = 0, gamma: float = 0,
                 feature_names: Optional[list[str]] = None, feature_types: Optional[list[str]] = None,
                 mono_increasing_list: Sequence[str] = (), mono_decreasing_list: Sequence[str] = (),
                 random_state: int = 0) -> None: ...
    def _more_tags(self) -> dict[str, Any]: ...
    def _validate_input(self, x: Any, y: Any, sample_weight: Optional[Any]) -> tuple[np.ndarray, np.ndarray, np.ndarray]: ...
    def predict(self, X: Any) -> np.ndarray: ...

class XGB2Classifier(ClassifierMixin, XGB2Base):
    label_binarizer_: Any
    classes_: np.ndarray
    def __init__(self, n_estimators: int = 100, eta: float = 0.3, max_depth: int = 2, tree_method: str = "auto",
                 max_bin: int = 256, reg_lambda: float = 0, reg_alpha: float = 0, gamma: float = 0,
                 feature_names: Optional[list[str]] = None, feature_types: Optional[list[str]] = None,
                 mono_increasing_list: Sequence[str] = (), mono_decreasing_list: Sequence[str] = (),
                 random_state: int = 0) -> None: ...
    def _more_tags(self) -> dict[str, Any]: ...
    def _validate_input(self, x: Any, y: Any, sample_weight: Optional[Any]) -> tuple[np.ndarray, np.ndarray, np.ndarray]: ...
    def decision_function(self, X: Any) -> np.ndarray: ...
    def predict_proba(self, X: Any) -> np.ndarray: ...
    def predict(self, X: Any) -> np.ndarray: ...

class XGB2BaggedBase(BaseEstimator):
    n_bags: int
    learning_rate: float
    max_rounds: int
    early_stopping_rounds: int
    early_stopping_tolerance: float
    validation_fraction: float
    interactions: Union[int, float, Sequence[Sequence[Union[int, str]]]]
    pair_depth: int
    max_interaction_bins: int
    reg_lambda: float
    min_child_weight: float
    max_bin: Optional[int]
    feature_names: Optional[list[str]]
    feature_types: Optional[list[str]]
    mono_increasing_list: Sequence[str]
    mono_decreasing_list: Sequence[str]
    n_jobs: Optional[int]
    random_state: int
    n_features_in_: int
    feature_names_: list[str]
    feature_types_: list[str]
    boosters_: list[xgboost.Booster]
    interactions_: list[tuple[int, int]]
    interaction_strengths_: pd.DataFrame
    held_out_rows_: list[Any]
    bag_rounds_: list[tuple[int, int]]
    is_fitted_: bool
    X_: Any
    effects_: dict[str, dict[Any, dict[str, Any]]]
    intercept_: float
    intercept_spread_: float
    def fit(self, X: Any, y: Any, sample_weight: Optional[Any] = None) -> "XGB2BaggedBase": ...
    def partial_dependence(self, fidx: Union[str, Sequence[Union[int, str]]], X: Any) -> np.ndarray: ...
    def parse_model(self) -> FANOVAInterpreter: ...

class XGB2BaggedRegressor(RegressorMixin, XGB2BaggedBase):
    def __init__(self, n_bags: int = 12, learning_rate: float = 0.1, max_rounds: int = 3000,
                 early_stopping_rounds: int = 20, early_stopping_tolerance: float = 0.0001,
                 validation_fraction: float = 0.15,
                 interactions: Union[int, float, Sequence[Sequence[Union[int, str]]]] = 1.0, pair_depth: int = 3,
                 max_interaction_bins: int = 32, reg_lambda: float = 5.0, min_child_weight: float = 5.0,
                 max_bin: Optional[int] = None, feature_names: Optional[list[str]] = None,
                 feature_types: Optional[list[str]] = None, mono_increasing_list: Sequence[str] = (),
                 mono_decreasing_list: Sequence[str] = (), n_jobs: Optional[int] = None,
                 random_state: int = 0) -> None: ...
    def _more_tags(self) -> dict[str, Any]: ...
    def _validate_input(self, x: Any, y: Any, sample_weight: Optional[Any]) -> tuple[np.ndarray, np.ndarray, np.ndarray]: ...
    def predict(self, X: Any) -> np.ndarray: ...

class XGB2BaggedClassifier(ClassifierMixin, XGB2BaggedBase):
    label_binarizer_: Any
    classes_: np.ndarray
    def __init__(self, n_bags: int = 12, learning_rate: float = 0.1, max_rounds: int = 3000,
                 early_stopping_rounds: int = 20, early_stopping_tolerance: float = 0.0001,
                 validation_fraction: float = 0.15,
                 interactions: Union[int, float, Sequence[Sequence[Union[int, str]]]] = 1.0, pair_depth: int = 3,
                 max_interaction_bins: int = 32, reg_lambda: float = 0.0, min_child_weight: float = 0.2,
                 max_bin: Optional[int] = None, feature_names: Optional[list[str]] = None,
                 feature_types: Optional[list[str]] = None, mono_increasing_list: Sequence[str] = (),
                 mono_decreasing_list: Sequence[str] = (), n_jobs: Optional[int] = None,
                 random_state: int = 0) -> None: ...
    def _more_tags(self) -> dict[str, Any]: ...
    def _validate_input(self, x: Any, y: Any, sample_weight: Optional[Any]) -> tuple[np.ndarray, np.ndarray, np.ndarray]: ...
    def decision_function(self, X: Any) -> np.ndarray: ...
    def predict_proba(self, X: Any) -> np.ndarray: ...
    def predict(self, X: Any) -> np.ndarray: ...

def _check_effect(split_points: tuple[Any, ...], values: Any,
                  missing: bool = False) -> tuple[tuple[np.ndarray, ...], np.ndarray]: ...
def _predict_effect_1d(X: Any, column: int, thresholds: Any, values: Any, float32: bool = True,
                       missing: bool = False) -> np.ndarray: ...
def _predict_effect_2d(X: Any, column1: int, column2: int, thresholds1: Any, thresholds2: Any, values: Any,
                       float32: bool = True, missing: bool = False) -> np.ndarray: ...
def _parse_ensemble(offsets: np.ndarray, left: np.ndarray, right: np.ndarray, feature: np.ndarray,
                    value: np.ndarray, n_features: int, X: Any, purification: bool, true_to_data: bool,
                    float32: bool = True, counts: Optional[tuple[float, list[tuple[int, np.ndarray]], list[np.ndarray]]] = None
                    ) -> tuple[float, list[tuple[Any, ...]], list[tuple[Any, ...]]]: ...
def _count_cells(offsets: np.ndarray, left: np.ndarray, right: np.ndarray, feature: np.ndarray,
                 value: np.ndarray, n_features: int, X: Any, joint: bool,
                 float32: bool = True) -> tuple[float, list[tuple[int, np.ndarray]], list[np.ndarray]]: ...
def _parse_bags(bags: Sequence[tuple[Any, ...]], n_features: int, X: Any,
                counts: Optional[tuple[float, list[tuple[int, np.ndarray]], list[np.ndarray]]] = None
                ) -> tuple[tuple[float, list[tuple[Any, ...]], list[tuple[Any, ...]]], tuple[float, list[tuple[Any, ...]], list[tuple[Any, ...]]]]: ...
def _count_bag_cells(bags: Sequence[tuple[Any, ...]], n_features: int,
                     X: Any) -> tuple[float, list[tuple[int, np.ndarray]], list[np.ndarray]]: ...
def _pair_cuts(X: Any, rows: Any, max_bins: int) -> list[np.ndarray]: ...
def _pair_sums(cuts: Sequence[Any], X: Any, rows: Any, grad: Any, hess: Any) -> tuple[np.ndarray, np.ndarray]: ...
def _pair_strengths(cuts: Sequence[Any], G: Any, H: Any, reg_lambda: float, min_child_weight: float) -> np.ndarray: ...
def _boost_stage(api: tuple[int, int, int], booster: int, dtrain: int, dheld: int, first_iteration: int,
                 max_rounds: int, patience: int, tolerance: float, start_loss: float) -> tuple[int, float, int]: ...
def _replay_stage(losses: Sequence[float], max_rounds: int, patience: int, tolerance: float,
                  start_loss: float) -> tuple[int, float, int, bool]: ...

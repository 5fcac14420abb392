"""Weak regions of a fitted model (compiled module)."""

from typing import Any, Iterator, Optional, Sequence, Union

import numpy as np
import pandas as pd
from matplotlib.figure import Figure

from tamrel.diagnoser.base import BaseDiagnoser
from tamrel.utils import TestDataResult

class BaseSlicing:
    estimator: Any
    slice_features: Sequence[str]
    task_type: Optional[str]
    metric: Optional[str]
    min_samples: int
    score_name: str
    score_sign: float
    needs_proba: bool
    is_metric_additive: bool
    threshold: float
    threshold_value: float
    fidx: list[int]
    weak_region: list[dict[str, Any]]
    weak_region_stats: list[dict[str, Any]]
    rule_list: list[dict[str, Any]]
    def __init__(self, estimator: Any = None, slice_features: Optional[Sequence[str]] = None,
                 task_type: Optional[str] = None, threshold: float = 1.2, min_samples: int = 30,
                 metric: Optional[str] = None) -> None: ...
    def get_index(self, x: np.ndarray, lb1: float, ub1: float, lb2: Optional[float] = None,
                  ub2: Optional[float] = None, right: bool = False) -> np.ndarray: ...
    def get_rule_list(self, x: np.ndarray, y: Any, preds: Any, scores: Any, lb1: float, ub1: float,
                      lb2: Optional[float] = None, ub2: Optional[float] = None, right: bool = False,
                      sample_weight: Optional[np.ndarray] = None) -> list[dict[str, Any]]: ...
    def evaluate_slice(self, x: np.ndarray, y: Any, preds: Any, scores: Any, lb1: float, ub1: float,
                       lb2: Optional[float] = None, ub2: Optional[float] = None, right: bool = False,
                       sample_weight: Optional[np.ndarray] = None) -> list[dict[str, Any]]: ...
    def fit(self, train_x: np.ndarray, train_y: np.ndarray, test_x: np.ndarray, test_y: np.ndarray,
            train_pred: Optional[np.ndarray] = None, test_pred: Optional[np.ndarray] = None,
            feature_names: Optional[Sequence[str]] = None, use_test: bool = True,
            train_sample_weight: Optional[np.ndarray] = None,
            test_sample_weight: Optional[np.ndarray] = None) -> Optional[pd.DataFrame]: ...

class HistogramSlicing(BaseSlicing):
    bins: int
    bins1d: np.ndarray
    bin_stats: list[dict[str, Any]]
    def __init__(self, estimator: Any = None, slice_features: Optional[Sequence[str]] = None,
                 task_type: Optional[str] = None, threshold: float = 1.2, min_samples: int = 30,
                 bins: int = 10, metric: Optional[str] = None) -> None: ...
    def _fit1d(self, x: np.ndarray, y: Any, preds: Any, scores: Any, lb1: Optional[float] = None,
               ub1: Optional[float] = None, lb2: Optional[float] = None, ub2: Optional[float] = None,
               sample_weight: Optional[np.ndarray] = None) -> tuple[list, list, np.ndarray]: ...
    def _fit2d(self, x: np.ndarray, y: Any, preds: Any, scores: Any,
               sample_weight: Optional[np.ndarray] = None) -> tuple[list, list, np.ndarray]: ...
    def _fit(self, x: np.ndarray, y: Any, preds: Any, scores: Any,
             sample_weight: Optional[np.ndarray] = None) -> None: ...

class TreeSlicing(BaseSlicing):
    max_depth: int
    random_state: Any
    tree_estimator: Any
    def __init__(self, estimator: Any = None, slice_features: Optional[Sequence[str]] = None,
                 task_type: Optional[str] = None, threshold: float = 1.2, max_depth: int = 2,
                 min_samples: int = 30, metric: Optional[str] = None, random_state: Any = 0) -> None: ...
    def _dfs(self, tree: Any, curr_node_idx: int, rule: dict) -> Iterator[dict[str, Any]]: ...
    def _fit(self, x: np.ndarray, y: Any, preds: Any, scores: Any,
             sample_weight: Optional[np.ndarray] = None) -> None: ...

class FrailZone(BaseDiagnoser):
    slice_features: Sequence[str]
    threshold: float
    method: str
    bins: int
    max_depth: int
    min_samples: int
    metric: Optional[str]
    use_test: bool
    random_state: Any
    diag: Optional[BaseSlicing]
    output: Optional[pd.DataFrame]
    def __init__(self, estimator: Any, slice_features: Sequence[str], task_type: Optional[str] = None,
                 threshold: float = 1.2, method: str = "histogram", bins: int = 10, max_depth: int = 2,
                 min_samples: int = 20, metric: Optional[str] = None, use_test: bool = False,
                 random_state: Any = 0) -> None: ...
    def fit(self, x: Any, y: Any, train_idx: Any, test_idx: Any, prediction: Any = None,
            prediction_proba: Any = None, sample_weight: Any = None,
            feature_names: Optional[Sequence[str]] = None, feature_types: Optional[Sequence[str]] = None,
            target_name: Optional[str] = None, predict_name: Optional[str] = None) -> None: ...
    def get_target_idx(self) -> np.ndarray: ...
    def get_target_rows(self) -> np.ndarray: ...
    def get_result(self) -> TestDataResult: ...
    def get_distance(self, psi_buckets: str = "uniform", distance_metric: str = "PSI",
                     compare_to: str = "remaining") -> TestDataResult: ...
    def get_shift(self, show_feature: Optional[str] = None, compare_to: str = "remaining") -> TestDataResult: ...
    def get_marginal(self) -> TestDataResult: ...
    @staticmethod
    def plot_marginal(diagnose_result: TestDataResult, grid: int = 1000, scaler: Any = None,
                      figsize: tuple[float, float] = (6, 6)) -> Figure: ...

class FrailScan(BaseDiagnoser):
    features: Optional[Sequence[str]]
    pairs: Any
    metric: Optional[str]
    threshold: float
    bins: int
    min_samples: int
    use_test: Union[bool, str]
    alpha: float
    n_jobs: Optional[int]
    verbose: bool
    null: str
    weights: str
    min_test_samples: int
    output: Optional[pd.DataFrame]
    threshold_value: float
    score_name: str
    def __init__(self, estimator: Any = None, features: Optional[Sequence[str]] = None, pairs: Any = "all",
                 task_type: Optional[str] = None, metric: Optional[str] = None, threshold: float = 1.2,
                 bins: int = 10, min_samples: int = 20, use_test: Union[bool, str] = False, alpha: float = 0.05,
                 n_jobs: Optional[int] = None, random_state: Any = 0, verbose: bool = True, null: str = "rest",
                 weights: str = "sampling", min_test_samples: int = 10) -> None: ...
    def fit(self, x: Any, y: Any, train_idx: Any, test_idx: Any, prediction: Any = None,
            prediction_proba: Any = None, sample_weight: Any = None,
            feature_names: Optional[Sequence[str]] = None,
            feature_types: Optional[Sequence[str]] = None) -> "FrailScan": ...
    def get_result(self) -> TestDataResult: ...
    def get_target_rows(self, i: int) -> np.ndarray: ...
    def get_rule(self, i: int) -> tuple[dict[str, Any], ...]: ...
    def frailzone(self, i: int) -> FrailZone: ...

class FrailCompare(BaseDiagnoser):
    baseline: Any
    features: Optional[Sequence[str]]
    pairs: Any
    metric: Optional[str]
    bins: int
    min_samples: int
    use_test: Union[bool, str]
    alpha: float
    n_jobs: Optional[int]
    verbose: bool
    weights: str
    min_test_samples: int
    output: Optional[pd.DataFrame]
    score_name: str
    def __init__(self, estimator: Any = None, baseline: Any = None, features: Optional[Sequence[str]] = None,
                 pairs: Any = "all", task_type: Optional[str] = None, metric: Optional[str] = None,
                 bins: int = 10, min_samples: int = 20, use_test: Union[bool, str] = False, alpha: float = 0.05,
                 n_jobs: Optional[int] = None, random_state: Any = 0, verbose: bool = True,
                 weights: str = "sampling", min_test_samples: int = 10) -> None: ...
    def fit(self, x: Any, y: Any, train_idx: Any, test_idx: Any, prediction: Any = None,
            prediction_proba: Any = None, baseline_prediction: Any = None, baseline_prediction_proba: Any = None,
            sample_weight: Any = None, feature_names: Optional[Sequence[str]] = None,
            feature_types: Optional[Sequence[str]] = None) -> "FrailCompare": ...
    def get_result(self) -> TestDataResult: ...
    def get_target_rows(self, i: int) -> np.ndarray: ...
    def get_rule(self, i: int) -> tuple[dict[str, Any], ...]: ...

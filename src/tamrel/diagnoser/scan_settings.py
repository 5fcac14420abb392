"""The settings tables of FrailScan and FrailCompare: each setting's kind, range and
default, written once (the signature, the docstrings and the checks follow)."""

from ..settings import Setting, anything, flag, integer, number, one_of, text_or_none
from .base import check_bins, check_min_samples, check_threshold
from .scan_tested import MIN_ROWS

__all__ = ["SCAN", "COMPARE"]


_ESTIMATOR = Setting("estimator", None, "object", "The fitted model; gives the predictions that fit is not given.",
                     anything)
_FEATURES = Setting("features", None, "list of str",
                    "Names of the features to scan; None scans every column.", anything)
_PAIRS = Setting("pairs", "all", '"all", None, int or list of pairs',
                 '"all": every unordered pair of the scanned features (the earlier one first);\n'
                 "None: features alone; an int k: every pair among the k features whose weakest\n"
                 "region scored worst; a list: these pairs (each named once, in either order).", anything)
_TASK = Setting("task_type", None, "str", '"regression" or "classification"; inferred from the estimator when None.',
                anything)
_BINS = Setting("bins", 10, "int", "Largest number of equal-width bins per feature.", check_bins)
_MIN_SAMPLES = Setting("min_samples", 20, "int",
                       "Smallest number of sliced rows of a reported region; also the smallest count of a\n"
                       "category slice of its own.", check_min_samples)
_USE_TEST = Setting("use_test", False, 'bool or "split"',
                    "Where regions are found and tested: False finds them on the training rows and tests\n"
                    "them on the test rows; True the other way round; \"split\" finds them on a seeded\n"
                    "random half of the test rows and tests them on the other half (for a model that fits\n"
                    "its training rows far better than new rows, whose training residuals say little\n"
                    "about where it fails). With \"split\" the \"train_\" columns describe the finding half.",
                    one_of(False, True, "split"))
_ALPHA = Setting("alpha", 0.05, "float", "Level of the tests and of the intervals (1 - alpha).",
                 number(0.0, 1.0, low_open=True, high_open=True))
_WEIGHTS = Setting("weights", "sampling", "str",
                   '"sampling": sample_weight are sampling weights (Kish\'s effective size (sum w)^2 / sum w^2);\n'
                   '"frequency": a row of weight k stands for k identical rows (the weight sum).',
                   one_of("sampling", "frequency"))
_MIN_TEST = Setting("min_test_samples", MIN_ROWS, "int",
                    "Smallest number of tested rows of a region that gets a p-value; smaller regions are\n"
                    "reported untested (NaN) and not counted by the Benjamini-Hochberg step.", integer(low=2))
_N_JOBS = Setting("n_jobs", None, "int", "Worker threads of the scan; None uses every core.",
                  integer(low=1, none=True))
_SEED = Setting("random_state", 0, "int", 'Seed of the "split" halves.', anything)
_VERBOSE = Setting("verbose", True, "bool",
                   "Show a progress bar when a scan takes more than about a second and the output is a\n"
                   "terminal or notebook.", flag)

SCAN = (
    _ESTIMATOR, _FEATURES, _PAIRS, _TASK,
    Setting("metric", None, "str",
            'Scoring metric ("MSE", "MAE", "ACC", "LogLoss", "Brier", "AUC", "F1", "R2"); None is\n'
            '"MSE" for regression, "LogLoss" for classification ("ACC" without probabilities).', text_or_none),
    Setting("threshold", 1.2, "float",
            "A slice is weak when its score is worse than the overall score of the sliced rows by\n"
            "this factor.", check_threshold),
    _BINS, _MIN_SAMPLES, _USE_TEST, _ALPHA, _N_JOBS, _SEED, _VERBOSE,
    Setting("null", "rest", "str",
            'The null hypothesis of the test: "rest", the region scores no worse than the rest of\n'
            'the tested rows; "threshold", it scores no worse than threshold times the overall\n'
            "score of the tested rows (so that a significant region is worse by the factor).",
            one_of("rest", "threshold")),
    _WEIGHTS, _MIN_TEST,
)

COMPARE = (
    _ESTIMATOR,
    Setting("baseline", None, "object",
            "The fitted baseline model; gives the baseline's predictions that fit is not given.", anything),
    _FEATURES, _PAIRS, _TASK,
    Setting("metric", None, "str",
            'An additive scoring metric ("MSE", "MAE", "ACC", "LogLoss", "Brier"); None is "MSE"\n'
            'for regression, "LogLoss" for classification ("ACC" without probabilities).', text_or_none),
    _BINS, _MIN_SAMPLES, _USE_TEST, _ALPHA, _N_JOBS, _SEED, _VERBOSE, _WEIGHTS, _MIN_TEST,
)

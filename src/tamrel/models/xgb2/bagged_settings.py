"""The settings tables of XGB2BaggedRegressor and XGB2BaggedClassifier: each setting's kind,
range and default, written once (the signature, the docstrings and the checks follow).

The two tables differ only where log loss differs from squared error: a row's hessian is
p (1 - p) <= 1/4 under log loss, and far less where the model is sure of a row, so the
classifier's leaf minimum and L2 penalty are on that scale (an L2 penalty of a few rows'
worth would outweigh the hessian of a sure leaf and stall boosting where classes separate).
"""

import numbers

from ...settings import Setting, anything, integer, number

__all__ = ["REGRESSOR", "CLASSIFIER", "ROWS_PER_BIN", "MIN_AUTO_BINS", "MAX_AUTO_BINS", "auto_max_bin"]

ROWS_PER_BIN = 20  # max_bin=None: about this many training rows per histogram bin,
MIN_AUTO_BINS, MAX_AUTO_BINS = 16, 256  # within these bounds


def auto_max_bin(n_rows):
    """The histogram bins for max_bin=None: about ROWS_PER_BIN training rows per bin, between
    MIN_AUTO_BINS and MAX_AUTO_BINS (a threshold between two sparse bins fits noise)."""
    return int(min(MAX_AUTO_BINS, max(MIN_AUTO_BINS, round(n_rows / ROWS_PER_BIN))))


def _bounded_integer(low, high):
    base = integer(low=low)

    def check(value, name):
        value = base(value, name)
        if value > high:
            raise ValueError(f"{name} must be at most {high}, got {value!r}.")
        return value
    return check


def _interactions(value, name):
    """A count, a share or a list of pairs; the pairs are checked against the feature names
    when fit knows them."""
    if isinstance(value, bool) or isinstance(value, (str, bytes)) or not (
            isinstance(value, numbers.Real) or hasattr(value, "__iter__")):
        raise TypeError(f"{name} must be a count of pairs, a share of the feature count or a list of feature "
                        f"pairs, got {value!r}.")
    if isinstance(value, numbers.Real):
        return (integer(low=0) if isinstance(value, numbers.Integral) else number(0.0, finite=True))(value, name)
    return value


def _common(reg_lambda, min_child_weight, scale):
    return (
        Setting("n_bags", 12, "int", "Number of bags: each holds out its own share of the rows for early stopping,\n"
                "and the model averages their margins.", integer(low=1)),
        Setting("learning_rate", 0.1, "float", "Boosting learning rate of both stages, in (0, 1].",
                number(0.0, 1.0, low_open=True)),
        Setting("max_rounds", 3000, "int", "Most boosting rounds of each stage of a bag.", integer(low=1)),
        Setting("early_stopping_rounds", 20, "int",
                "A stage stops when its loss on the bag's held-out rows has not improved for this\n"
                "many rounds; it keeps the rounds up to its last improvement.", integer(low=1)),
        Setting("early_stopping_tolerance", 1e-4, "float",
                "An improvement lowers the best held-out loss by more than this share of it, in\n"
                "[0, 1); rounds that gain less are not kept (they cost time, not accuracy).",
                number(0.0, 1.0, high_open=True)),
        Setting("validation_fraction", 0.15, "float",
                "Share of the rows each bag holds out (within each class for the classifier), in\n"
                "(0, 0.5].", number(0.0, 0.5, low_open=True)),
        Setting("interactions", 1.0, "int, float or list of pairs",
                "Pairs to model: a count, a share of the feature count (1.0: as many pairs as\n"
                "features), or a list of pairs of feature names or indices. Counted pairs are the\n"
                "strongest on the residual of the main effects (training rows only); only pairs with\n"
                "a positive strength are kept.", _interactions),
        Setting("pair_depth", 3, "int",
                "Depth of the pair stage's trees, in [2, 6]: each tree splits on the two features of\n"
                "one chosen pair only, so that a deeper tree still adds a pairwise effect, of finer\n"
                "shape per round than a depth-2 tree.", _bounded_integer(2, 6)),
        Setting("max_interaction_bins", 32, "int", "Cells per feature (quantiles) of the pair ranking, in [2, 1024].",
                _bounded_integer(2, 1024)),
        Setting("reg_lambda", reg_lambda, "float",
                f"L2 regularization term on leaf weights (also in the pair ranking){scale}.", number(0.0, finite=True)),
        Setting("min_child_weight", min_child_weight, "float",
                f"Minimum hessian sum in a leaf (also per quadrant in the pair ranking){scale}.",
                number(0.0, finite=True)),
        Setting("max_bin", None, "int or None",
                "Maximum number of histogram bins per feature in XGBoost; None: about "
                f"{ROWS_PER_BIN} training\nrows of a bag per bin, between {MIN_AUTO_BINS} and {MAX_AUTO_BINS} "
                "(on small data a threshold between\nsparse bins fits noise).", integer(low=2, none=True)),
        Setting("feature_names", None, "list or None", "The list of feature names.", anything),
        Setting("feature_types", None, "list or None",
                'The list of feature types. Available types include "numerical" and "categorical".', anything),
        Setting("mono_increasing_list", (), "tuple of str",
                "The feature name tuple subject to monotonic increasing constraint.", anything),
        Setting("mono_decreasing_list", (), "tuple of str",
                "The feature name tuple subject to monotonic decreasing constraint.", anything),
        Setting("n_jobs", None, "int or None",
                "Threads: bags train in parallel, one XGBoost thread each (the result does not\n"
                "depend on it); None uses every core.", integer(low=1, none=True)),
        Setting("random_state", 0, "int", "The random seed of the held-out rows and of XGBoost.", integer(low=0)),
    )


REGRESSOR = _common(5.0, 5.0, "")
CLASSIFIER = _common(0.0, 0.2, "; on the\nhessian scale of log loss, where a row weighs p (1 - p) <= 1/4")

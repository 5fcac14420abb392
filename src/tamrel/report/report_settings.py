"""The settings table of ValidationReport: each setting's kind, range and default, once."""


from ..diagnoser.base import check_threshold
from ..settings import Setting, anything, flag, integer, number, one_of, text_or_none

__all__ = ["SETTINGS"]

SETTINGS = (
    Setting("estimator", None, "object", "The fitted model; gives the predictions ``fit`` is not given.", anything),
    Setting("task_type", None, "str", '"regression" or "classification"; inferred from the estimator when None.',
            one_of(None, "regression", "classification"), keyword_only=True),
    Setting("metric", None, "str",
            "The scan's metric; None is the scan's default for the task (MSE for regression, LogLoss\n"
            "for a classifier with probabilities, else ACC).", text_or_none, keyword_only=True),
    Setting("features", None, "list of str", "The scanned features, as for ``FrailScan``; None scans every column.",
            anything, keyword_only=True),
    Setting("pairs", "all", '"all", None, int or list of pairs', "The scanned pairs, as for ``FrailScan``.",
            anything, keyword_only=True),
    Setting("threshold", 1.2, "float",
            "A region is a candidate when its score is this factor worse than overall.", check_threshold,
            keyword_only=True),
    Setting("use_test", False, 'bool or "split"',
            "Where the scan finds its regions, as for ``FrailScan``: on the training rows (False), the\n"
            'test rows (True), or half of the test rows ("split", for a model that fits its training\n'
            "rows far better than new rows; the report says when the scan warns of it).",
            one_of(False, True, "split"), keyword_only=True),
    Setting("alpha", 0.05, "float",
            "Level of the tests and intervals; a region is significant when its q-value is at most alpha.",
            number(0.0, 1.0, low_open=True, high_open=True), keyword_only=True),
    Setting("top", 5, "int", "Significant findings drilled into.", integer(low=0), keyword_only=True),
    Setting("conditions", None, "dict",
            "The gate's conditions and their limits (see ``tamrel.report.conditions``); None applies\n"
            "every default.", anything, keyword_only=True),
    Setting("title", None, "str", "The report's title; None names the model.", text_or_none, keyword_only=True),
    Setting("surrogate", False, "bool",
            "For a model that is no depth-2 model, fit a depth-2 surrogate to its predictions and show\n"
            "its effects with its fidelity.", flag, keyword_only=True),
    Setting("random_state", 0, "int", "Seed of the scan and of every sample the report draws.", anything,
            keyword_only=True),
    Setting("verbose", True, "bool", "Show a progress bar on a terminal or in a notebook.", flag, keyword_only=True),
)


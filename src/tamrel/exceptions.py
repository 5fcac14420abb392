"""Exception classes of the package, each built from one message text."""

__all__ = ["TamrelError", "TamrelWarning", "TamrelInfo"]


class _TamrelMessage(Exception):
    """An exception carrying one message text, readable as ``message``."""

    def __init__(self, message=""):
        super().__init__(message)
        self.message = str(message)

    def __str__(self):
        return self.message


class TamrelError(_TamrelMessage, ValueError):
    """Misuse of an analysis detected by the package: inputs that do not fit together or do
    not fit the analysis (lengths, positions outside the data, unknown features, empty
    subsets, a metric without the predictions it needs). A ValueError, as it is a wrong
    value of the right kind."""


class TamrelWarning(_TamrelMessage, UserWarning):
    """A condition worth a warning; also usable with ``warnings.warn``."""


class TamrelInfo(_TamrelMessage):
    """Nothing to report or draw (e.g. no weak region was found)."""

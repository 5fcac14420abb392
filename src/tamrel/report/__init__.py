"""Validation reports: one call or one command, one self-contained file, a verdict a pipeline can act on."""

from .conditions import DEFAULTS as DEFAULT_CONDITIONS
from .validation_report import ValidationReport

__all__ = ["ValidationReport", "DEFAULT_CONDITIONS"]

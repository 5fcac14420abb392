"""The report as plain JSON values: NaN and infinities as null, tables as lists of records."""

import json
import math

import numpy as np
import pandas as pd

__all__ = ["SCHEMA", "SCHEMA_VERSION", "plain", "write_json"]

SCHEMA = "tamrel.validation_report"
SCHEMA_VERSION = 1


def plain(value):
    """``value`` as JSON values: dicts, lists, str, finite float, int, bool, None."""
    if isinstance(value, pd.DataFrame):
        return [plain(r) for r in value.to_dict("records")]
    if isinstance(value, dict):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple, pd.Series, np.ndarray)):
        return [plain(v) for v in list(value)]
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    if isinstance(value, (int, np.integer)):
        return int(value)
    if isinstance(value, (float, np.floating)):
        return float(value) if math.isfinite(value) else None
    if value is None or value is pd.NA or value is pd.NaT:
        return None
    if isinstance(value, str):
        return value
    return str(value)


def write_json(document, path):
    """Write the plain document, strict JSON (no NaN), UTF-8."""
    with open(path, "w", encoding="utf-8") as f:
        json.dump(document, f, indent=1, ensure_ascii=False, allow_nan=False)
        f.write("\n")

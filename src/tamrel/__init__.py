"""tamrel: model validation.

- ``tamrel.diagnoser.frailzone``: weak regions of a fitted model (``FrailZone``).
- ``tamrel.models.xgb2.xgboost``: interpretable depth-2 boosted trees.
"""

__version__ = "0.1.0"

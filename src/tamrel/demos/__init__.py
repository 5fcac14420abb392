"""Demonstrations on data that scikit-learn ships: ``python -m tamrel.demos``."""

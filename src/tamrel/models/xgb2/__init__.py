"""Depth-2 boosted trees (XGBoost underneath)."""

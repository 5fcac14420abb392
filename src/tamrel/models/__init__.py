"""Interpretable models and their interpreters."""

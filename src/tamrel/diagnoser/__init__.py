"""Diagnosers of fitted models."""

"""PNG figures of a weak-region analysis: marginal views, region table, distances, shift."""

import os

import matplotlib.pyplot as plt

from tamrel.diagnoser.frailzone import FrailZone
from tamrel.exceptions import TamrelInfo
from tamrel.plots import render


def _save(fig, out_dir, name):
    path = os.path.join(out_dir, name)
    fig.savefig(path, dpi=100, bbox_inches="tight")
    plt.close(fig)
    return path


def _figures(fz_one, fz_two):
    """(file name, function drawing the figure) pairs, in the order they are saved."""
    def shift():
        # the feature that moved most between the weak regions and the rest
        top = fz_one.get_distance().value["x"][0]
        return render(fz_one.get_shift(show_feature=top))

    return [
        ("marginal_one_feature.png", lambda: FrailZone.plot_marginal(fz_one.get_marginal())),
        ("marginal_two_features.png", lambda: FrailZone.plot_marginal(fz_two.get_marginal())),
        ("weak_regions_table.png", lambda: render(fz_one.get_result())),
        ("distance.png", lambda: render(fz_one.get_distance())),
        ("shift.png", shift),
    ]


def save_figures(fz_one, fz_two, out_dir):
    """Save the figures of two fitted analyses (one and two slicing features) in out_dir.

    A figure with nothing to draw (no weak region) is skipped. Returns the paths written.
    """
    os.makedirs(out_dir, exist_ok=True)
    paths = []
    for name, draw in _figures(fz_one, fz_two):
        try:
            fig = draw()
        except TamrelInfo:
            continue
        paths.append(_save(fig, out_dir, name))
    return paths

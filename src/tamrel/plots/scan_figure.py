"""Figure of a weak-region scan: the top regions ranked, each tested score with its interval."""

import matplotlib.pyplot as plt
import numpy as np

from ..exceptions import TamrelInfo

__all__ = ["scan_regions"]

_TOP = 15
_COLOURS = {True: "#d95f02", False: "#9e9e9e"}  # significant, not significant


def _part(part):
    """One feature of a region's rule (the scan's get_rule), e.g. "age [20, 30]" where the
    upper bound belongs to the region."""
    name = part["feature"]
    if part["kind"] == "missing":
        return f"{name} missing"
    if part["kind"] == "categories":
        return f"{name} in {{{', '.join(str(v) for v in part['values'])}}}"
    return f"{name} [{part['lb']:.4g}, {part['ub']:.4g}{']' if part['closed'] else ')'}"


def _label(rule):
    """A region's features with their bounds or categories, e.g. "age [20, 30) & city in {a, b}"."""
    return " & ".join(_part(p) for p in rule)


def scan_regions(value, figsize):
    """Horizontal ranking of the first regions of the table (most significant on top)."""
    table = value["data"]
    if table is None or len(table) == 0:
        raise TamrelInfo("No weak regions detected.")
    top = table.head(_TOP)
    tested = value.get("tested_on", "test")
    score = f"{tested}_{value['score_name']}"
    n = len(top)
    fig = plt.figure(figsize=figsize or (10.0, 0.45 * n + 1.6), layout="constrained")
    ax = fig.add_subplot()
    pos = np.arange(n)
    scores = top[score].to_numpy(dtype=np.float64)
    low, high = top["ci_low"].to_numpy(dtype=np.float64), top["ci_high"].to_numpy(dtype=np.float64)
    significant = top["significant"].to_numpy(dtype=bool)
    for flag in (True, False):
        at = significant == flag
        if not at.any():
            continue
        err = np.vstack([scores[at] - low[at], high[at] - scores[at]])
        ax.errorbar(scores[at], pos[at], xerr=np.where(np.isfinite(err), err, 0.0), fmt="o",
                    color=_COLOURS[flag], ecolor=_COLOURS[flag], capsize=3,
                    label="significant" if flag else "not significant")
    ax.axvline(value["overall_score"], color="black", linestyle="--", linewidth=1,
               label=f"overall {tested} score")
    ax.set_yticks(pos, labels=[_label(rule) for rule in value["rules"][:n]], fontsize=8)
    ax.invert_yaxis()
    ax.set_xlabel(f"{tested} {value['score_name']} ({100 * (1 - value['alpha']):.0f}% interval)")
    ax.set_title(f"Weak regions by {tested} {value['score_name']}: top {n} of {len(table)}, "
                 f"{int(table['significant'].sum())} significant")
    ax.legend(fontsize=8, loc="best")
    return fig

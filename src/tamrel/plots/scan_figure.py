"""Figure of a weak-region scan: the top regions ranked, each tested score with its interval."""

import matplotlib.pyplot as plt
import numpy as np

from ..exceptions import TamrelInfo

__all__ = ["scan_regions"]

_TOP = 15
_COLOURS = {True: "#d95f02", False: "#9e9e9e"}  # significant, not significant


def _bounds(lb, ub):
    return f"[{lb:.4g}, {ub:.4g})"


def _label(row):
    """Features with their bounds or categories, e.g. "age [20, 30) & city in {a, b}"."""
    if row["kind"] == "missing":
        return f"{row['slice_features'][0]} missing"
    cats = row["categories"] or {}
    parts = []
    for pos, name in enumerate(row["slice_features"], start=1):
        if name in cats:
            values = ", ".join(str(v) for v in cats[name])
            parts.append(f"{name} in {{{values}}}")
        else:
            parts.append(f"{name} {_bounds(row[f'lb{pos}'], row[f'ub{pos}'])}")
    return " & ".join(parts)


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
    ax.set_yticks(pos, labels=[_label(row) for _, row in top.iterrows()], fontsize=8)
    ax.invert_yaxis()
    ax.set_xlabel(f"{tested} {value['score_name']} ({100 * (1 - value['alpha']):.0f}% interval)")
    ax.set_title(f"Weak regions by {tested} {value['score_name']}: top {n} of {len(table)}, "
                 f"{int(table['significant'].sum())} significant")
    ax.legend(fontsize=8, loc="best")
    return fig

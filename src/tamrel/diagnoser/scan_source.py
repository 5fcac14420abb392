"""The rows of a scan in memory: the block source of the scan's driver.

A block source answers the driver's passes over the two subsets (the sliced rows, on
which regions are found, and the tested rows): the sliced rows' category counts, the
subsets' totals, range sketches, cell sums per quantity, rank sums (AUC), and the
fingerprints of region rows. In memory each subset is one block: its numeric columns copied
once, with their fine codes, and its code columns (pooled categories, then the bin codes
of the numeric features that group pairs, which the single features' sums pass writes).
The Dask source (scan_dask) answers the same passes partition by partition.
"""

from dataclasses import dataclass

import numpy as np

from . import _scan
from .scan_units import pooled_codes

__all__ = ["Block", "MemorySource", "fortran"]


def fortran(columns, rows, dtype, extra=0):
    out = np.empty((len(rows), len(columns) + extra), dtype=dtype, order="F")
    for j, values in enumerate(columns):
        np.take(values, rows, out=out[:, j])
    return out


@dataclass
class Block:
    """One subset's rows as the kernels read them."""

    rows: np.ndarray
    num: np.ndarray  # float64, Fortran, numeric columns
    fine: object  # their fine codes
    codes: np.ndarray  # int32, Fortran, code columns
    values: dict  # per-row quantities by name (float64, contiguous)
    weights: object  # scaled weights or None


class MemorySource:
    """The scan's passes over rows in memory (see the module docstring). `subsets` are the
    sliced and the tested rows, `values` per subset the per-row quantities at its rows,
    `weights` per subset the scaled weights at its rows (or None)."""

    def __init__(self, columns, matrix, n_jobs, subsets, values, weights):
        self.columns, self.matrix, self.jobs = columns, matrix, n_jobs
        self.subsets, self.values, self.weights = subsets, values, weights
        self.num_names = [n for n, c in columns.items() if c.numeric]
        self.blocks = None

    def category_counts(self):
        """The sliced rows' count of each category, per categorical column."""
        out = {}
        for n, c in self.columns.items():
            if not c.numeric:
                codes = c.values[self.subsets[0]]
                out[n] = np.bincount(codes[codes >= 0], minlength=len(c.categories))
        return out

    def prepare(self, pooled, grouping):
        """Copy both subsets once, with room for the bin codes of the `grouping` features."""
        self.code_names = list(pooled)
        self.bin_names = self.code_names + list(grouping)
        self.blocks = []
        for rows, vals, w in zip(self.subsets, self.values, self.weights):
            num, fine = self._numbers(rows)
            codes = fortran([pooled_codes(self.columns[n].values, pooled[n]) for n in self.code_names], rows,
                            np.int32, extra=len(grouping))
            self.blocks.append(Block(rows, num, fine, codes, vals, w))

    def _numbers(self, rows):
        cols = [self.columns[n] for n in self.num_names]
        if self.matrix is not None and cols and all(c.position >= 0 for c in cols):
            return _scan._scan_take(self.matrix, [c.position for c in cols], rows, self.jobs, True)
        num = fortran([c.values for c in cols], rows, np.float64)
        return num, _scan._scan_fine(num, self.jobs)

    def set_bin_edges(self, edges):
        """The grouping features' edges: in memory the single features' sums pass writes their
        codes (write_bin_codes where no such pass runs)."""

    def code_column(self, name):
        return self.bin_names.index(name)

    # -- passes -----------------------------------------------------------------------------
    def ranges(self, units, bins):
        b = self.blocks[0]
        return _scan._scan_ranges(b.num, b.codes, [u.kernel for u in units], bins, self.jobs, b.fine)

    def _bin_columns(self, units):
        """Where the single features' first sums pass writes the bin codes of the grouping
        features: their code columns."""
        grouping = self.bin_names[len(self.code_names):]
        return [self.bin_names.index(u.cut) if u.kernel.numeric and u.cut in grouping else -1 for u in units]

    def sums(self, units, sketches, bins, quantities, write_bins=False, then=None):
        """Per subset, per quantity, the units' cell sums (`quantities`: per subset, each
        quantity's order of moments); and the sliced rows' sketches of the units `then`,
        whose grouping codes this pass wrote."""
        kernels = [u.kernel for u in units]
        out = []
        for b, wanted in zip(self.blocks, quantities):
            per = {}
            for k, (name, order) in enumerate(wanted.items()):
                extra = {"bin_columns": self._bin_columns(units)} if write_bins and k == 0 else {}
                per[name] = _scan._scan_sums(b.num, b.codes, kernels, sketches, bins, b.values[name], b.weights,
                                             order >= 2, self.jobs, b.fine, fourth=order == 4, **extra)
            out.append(per)
        return out, (self.ranges(then, bins) if then else None)

    def write_bin_codes(self, names, edges):
        """The grouping features' bin codes by their edges, where no sums pass wrote them."""
        cols = [self.num_names.index(n) for n in names]
        for b in self.blocks:
            codes = _scan._scan_codes(b.num, cols, [np.asarray(edges[n][0]) for n in names],
                                      [edges[n][1] for n in names], [edges[n][2] for n in names], self.jobs, b.fine)
            for j, n in enumerate(names):
                b.codes[:, self.code_column(n)] = codes[:, j]

    def ranks(self, units, sketches, bins, regions=None, which=0):
        """Rank sums of the units' cells on the sliced rows, or of regions and their rests on
        the tested rows (which=1), for the AUC; the subsets' rows are in score order."""
        b = self.blocks[which]
        return _scan._scan_ranks(b.num, b.codes, [u.kernel for u in units], sketches, bins, None, b.values["proba"],
                                 b.values["positive"], b.weights, self.jobs, regions)

    def fingerprints(self, units, sketches, bins, regions, keys):
        """Per region of the units (dict of arrays unit, first_cell, last_cell), a fingerprint
        of its rows in both subsets: the sum of `keys` (random 64-bit integers per row of x)
        modulo 2**64, by the kernels' cells."""
        total = np.zeros(len(regions["unit"]), dtype=np.uint64)
        kernels = [u.kernel for u in units]
        for b in self.blocks:
            total += _scan._scan_fingerprints(b.num, b.codes, kernels, sketches, bins, keys[b.rows], regions, self.jobs,
                                              b.fine)
        return [int(v) for v in total]

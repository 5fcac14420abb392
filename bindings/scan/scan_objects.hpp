// The scan kernels' private value types, bound as small Python classes: a slicing unit
// with named fields, and the passes' mergeable results (range sketches, cell sums), which
// pickle so that Dask workers can hand them to the client.
#pragma once

#include <vector>

#include "conversion.hpp"
#include "tamrel/scan.hpp"

namespace scan_py {

using tamrel_py::as_number;
using tamrel_py::as_position;
using tamrel_py::check_length;
using tamrel_py::column_ref;
using tamrel_py::ColumnRef;
using tamrel_py::optional_column;
using tamrel_py::positive_bins;
using tamrel_py::to_float_array;
using tamrel_py::to_index_array;

// One slicing: the group column of the block's codes (-1: no grouping) and its number of
// groups; the cut column, of the numeric matrix (numeric) or of the codes (categorical,
// with n_cat categories); whether rows with a missing cut value get a cell of their own.
struct ScanUnit {
    std::int64_t group_col = -1, n_groups = 1;
    bool numeric = true;
    std::int64_t cut_col = 0, n_cat = 0;
    bool missing_cell = false;
};

// Per unit, per group, the range sketch of the numeric cut values of some rows.
struct ScanSketches {
    std::vector<std::vector<tamrel::RangeSketch>> units;
};

// Per unit, per cell, the score sums of some rows.
struct ScanSums {
    std::vector<std::vector<tamrel::CellSums>> units;
};

// The units of a Python list, checked against the block's columns (n_num numeric, n_codes
// code columns; pass the maximum to skip).
std::vector<ScanUnit> units_of(const py::handle& units, std::int64_t n_num, std::int64_t n_codes);

// The layout of unit k from its sketches (bins per group at most `max_bins`); a numeric cut's
// refusal of its bins names the unit ("scan unit k: ...").
tamrel::UnitLayout layout_of(const ScanUnit& u, const ScanSketches& sketches, size_t k, std::int64_t max_bins);

void define_scan_objects(py::module_& m);

}  // namespace scan_py

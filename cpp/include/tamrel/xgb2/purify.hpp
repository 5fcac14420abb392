// Purification: moving the weighted means of interactions into main effects and of main
// effects into the intercept, leaving the sum of all effects unchanged.
#pragma once

#include "tamrel/xgb2/decompose.hpp"
#include "tamrel/xgb2/effect_grid.hpp"

#include <map>
#include <vector>

namespace tamrel::xgb2 {

// The columns of the training matrix X, all of n_rows entries.
struct Matrix {
    std::vector<Column> columns;
    std::int64_t n_rows = 0;
};

// For every feature an effect uses, the union of its thresholds over all effects (sorted,
// distinct): the cells purification weighs.
using FeatureGrids = std::map<std::int64_t, std::vector<double>>;
FeatureGrids purification_grids(const Decomposition& d);

// For each cell of a fine grid, the cell of a coarser grid (a subset of its thresholds)
// that contains it: the count of coarse thresholds <= the fine cell's lower edge; with
// `missing`, the missing cells map onto each other.
std::vector<std::size_t> refine_map(const std::vector<double>& fine, const std::vector<double>& coarse, bool missing);

// What purification needs to know of the rows: their number, per feature the row count of
// each cell of its grid and, for joint weights, per interaction (in the decomposition's
// order) the row count of each pair of cells (row-major, the first feature's cells as rows).
// Counts of disjoint row blocks add up to the counts of their union.
struct CellCounts {
    double n_rows = 0.0;
    std::map<std::int64_t, std::vector<double>> marginal;
    std::vector<std::vector<double>> joint;
};

// The counts of the rows of X (binned with `float32` routing; NaN in the missing cell of a
// decomposition that has one); joint counts only when asked. Throws std::invalid_argument
// for too few columns or a NaN in a used column without a missing cell.
CellCounts count_cells(const Decomposition& d, const FeatureGrids& grids, const Matrix& X, bool float32,
                       bool joint);

// Purification with weights from counts made on `grids` (see purify below). Throws
// std::invalid_argument when there are no rows or the counts do not fit the grids.
void purify_counts(Decomposition& d, const FeatureGrids& grids, const CellCounts& counts, bool true_to_data,
                   double tolerance = 1e-10, int max_iterations = 10000);

// Weights come from the rows of X (binned with `float32` routing): with `true_to_data`
// false, a cell of a pair weighs the product of the two features' bin frequencies and one
// pass centres it exactly; with `true_to_data` true it weighs the pair's joint frequency
// and row and column centring alternate until every mean is below `tolerance` (or
// `max_iterations` is reached). Main effects end up on the union of their feature's
// thresholds with zero weighted mean. Throws std::invalid_argument when X has no rows, too
// few columns or a NaN in a used column.
void purify(Decomposition& d, const Matrix& X, bool float32, bool true_to_data,
            double tolerance = 1e-10, int max_iterations = 10000);

}  // namespace tamrel::xgb2

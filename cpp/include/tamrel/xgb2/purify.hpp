// Purification: moving the weighted means of interactions into main effects and of main
// effects into the intercept, leaving the sum of all effects unchanged.
#pragma once

#include "tamrel/xgb2/decompose.hpp"
#include "tamrel/xgb2/effect_grid.hpp"

#include <vector>

namespace tamrel::xgb2 {

// The columns of the training matrix X, all of n_rows entries.
struct Matrix {
    std::vector<Column> columns;
    std::int64_t n_rows = 0;
};

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

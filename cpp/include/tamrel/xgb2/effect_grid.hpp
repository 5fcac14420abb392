// Piecewise-constant effects on a grid of split thresholds.
//
// A feature with sorted thresholds s_1 < ... < s_k has k + 1 cells: cell 0 is
// (-inf, s_1), cell c is [s_c, s_{c+1}), cell k is [s_k, inf). A value x lies in the
// cell whose index is the number of thresholds <= x, which is how a tree routes it:
// x < s goes left. XGBoost stores its data as float32, so by default x is rounded to
// float32 before the comparison (the thresholds already are float32 values).
//
// A grid may also carry a missing cell, after the others (cell k + 1): NaN lies there,
// which is how a model that routes missing values by a default direction keeps its
// effects exact on rows with NaN. Without it, NaN is refused.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "tamrel/column.hpp"

namespace tamrel::xgb2 {

// x rounded to the nearest float32, as a double; overflow goes to +-inf without
// relying on the (undefined) out-of-range float conversion.
inline double round_to_float32(double x) {
    constexpr double overflow = 0x1.ffffffp127;  // FLT_MAX + half an ulp: rounds to inf
    if (x >= overflow) return std::numeric_limits<double>::infinity();
    if (x <= -overflow) return -std::numeric_limits<double>::infinity();
    return static_cast<double>(static_cast<float>(x));
}

// Index of the cell holding x among k sorted thresholds.
inline std::size_t cell_of(double x, const double* thresholds, std::size_t k, bool float32) {
    const double v = float32 ? round_to_float32(x) : x;
    return static_cast<std::size_t>(std::upper_bound(thresholds, thresholds + k, v) - thresholds);
}

using tamrel::Column;  // an aligned float64 column, as the bindings' conversion makes it

// The sorted thresholds of one feature of an effect, and whether it has a missing cell.
struct Grid {
    const double* thresholds;
    std::size_t k;
    bool missing = false;
    std::size_t n_cells() const { return k + 1 + (missing ? 1 : 0); }
};

// The cell of x on a grid (NaN in the missing cell); false for NaN on a grid without one.
inline bool grid_cell(double x, const Grid& grid, bool float32, std::size_t& cell) {
    if (x != x) {
        cell = grid.k + 1;
        return grid.missing;
    }
    cell = cell_of(x, grid.thresholds, grid.k, float32);
    return true;
}

// Cell index of every row; false (and `out` incomplete) when the column holds a NaN and
// the grid has no missing cell.
bool bin_column(const Column& x, const Grid& grid, bool float32, std::int64_t* out);

// values[cell(x_i)] for every row; false on NaN without a missing cell.
bool predict_main_effect(const Column& x, const Grid& grid, const double* values, bool float32,
                         double* out);

// values[cell1(x_i), cell2(z_i)] of a row-major n_cells1 x n_cells2 table; false on NaN
// without a missing cell.
bool predict_interaction(const Column& x, const Grid& grid1, const Column& z, const Grid& grid2,
                         const double* values, bool float32, double* out);

}  // namespace tamrel::xgb2

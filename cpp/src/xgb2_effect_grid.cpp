// Vectorised evaluation of piecewise-constant main effects and interactions.
#include "tamrel/xgb2/effect_grid.hpp"

namespace tamrel::xgb2 {

bool bin_column(const Column& x, const Grid& grid, bool float32, std::int64_t* out) {
    for (std::int64_t i = 0; i < x.size; ++i) {
        std::size_t cell;
        if (!grid_cell(x[i], grid, float32, cell)) return false;
        out[i] = static_cast<std::int64_t>(cell);
    }
    return true;
}

bool predict_main_effect(const Column& x, const Grid& grid, const double* values, bool float32,
                         double* out) {
    for (std::int64_t i = 0; i < x.size; ++i) {
        std::size_t cell;
        if (!grid_cell(x[i], grid, float32, cell)) return false;
        out[i] = values[cell];
    }
    return true;
}

bool predict_interaction(const Column& x, const Grid& grid1, const Column& z, const Grid& grid2,
                         const double* values, bool float32, double* out) {
    const std::size_t width = grid2.n_cells();
    for (std::int64_t i = 0; i < x.size; ++i) {
        std::size_t row, col;
        if (!grid_cell(x[i], grid1, float32, row) || !grid_cell(z[i], grid2, float32, col)) return false;
        out[i] = values[row * width + col];
    }
    return true;
}

}  // namespace tamrel::xgb2

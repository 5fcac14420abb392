// Vectorised evaluation of piecewise-constant main effects and interactions.
#include "tamrel/xgb2/effect_grid.hpp"

namespace tamrel::xgb2 {

bool bin_column(const Column& x, const Grid& grid, bool float32, std::int64_t* out) {
    for (std::int64_t i = 0; i < x.size; ++i) {
        const double v = x[i];
        if (v != v) return false;
        out[i] = static_cast<std::int64_t>(cell_of(v, grid.thresholds, grid.k, float32));
    }
    return true;
}

bool predict_main_effect(const Column& x, const Grid& grid, const double* values, bool float32,
                         double* out) {
    for (std::int64_t i = 0; i < x.size; ++i) {
        const double v = x[i];
        if (v != v) return false;
        out[i] = values[cell_of(v, grid.thresholds, grid.k, float32)];
    }
    return true;
}

bool predict_interaction(const Column& x, const Grid& grid1, const Column& z, const Grid& grid2,
                         const double* values, bool float32, double* out) {
    const std::size_t width = grid2.n_cells();
    for (std::int64_t i = 0; i < x.size; ++i) {
        const double a = x[i];
        const double b = z[i];
        if (a != a || b != b) return false;
        const std::size_t row = cell_of(a, grid1.thresholds, grid1.k, float32);
        const std::size_t col = cell_of(b, grid2.thresholds, grid2.k, float32);
        out[i] = values[row * width + col];
    }
    return true;
}

}  // namespace tamrel::xgb2

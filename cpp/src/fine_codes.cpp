#include "tamrel/fine_codes.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "tamrel/scan.hpp"

namespace tamrel {

namespace {

// The grid of a column from its range; unusable when a value is infinite.
FineGrid grid_of(const double* x, std::int64_t rows) {
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (std::int64_t r = 0; r < rows; ++r) {
        const double v = x[r];
        lo = v < lo ? v : lo;  // NaN leaves both as they are
        hi = v > hi ? v : hi;
    }
    FineGrid g;
    if (lo > hi) {  // NaN only: every code is kFineCodes
        g.usable = true;
        return g;
    }
    if (std::isinf(lo) || std::isinf(hi)) return g;
    const double scale = static_cast<double>(kFineCodes) / (hi - lo);
    g.base = lo;
    g.scale = std::isfinite(scale) ? scale : 0.0;
    g.usable = true;
    return g;
}

}  // namespace

FineColumns fine_columns(const double* num, std::int64_t rows, const std::vector<char>& wanted, int n_jobs) {
    FineColumns out;
    out.rows = rows;
    const auto p = static_cast<std::int64_t>(wanted.size());
    out.grids.resize(wanted.size());
    out.at.assign(wanted.size(), -1);
    std::int64_t n_coded = 0;
    for (std::int64_t j = 0; j < p; ++j)
        if (wanted[j]) out.at[j] = rows * n_coded++;
    out.codes.reset(new std::uint16_t[static_cast<size_t>(rows * n_coded)]);
    parallel_for(p, n_jobs, [&](std::int64_t j) {
        if (!wanted[j]) return;
        const double* x = num + j * rows;
        FineGrid g = grid_of(x, rows);
        out.grids[j] = g;
        if (!g.usable) {
            out.at[j] = -1;
            return;
        }
        std::uint16_t* c = out.codes.get() + out.at[j];
        for (std::int64_t r = 0; r < rows; ++r) c[r] = g.code(x[r]);
    });
    return out;
}

std::vector<std::int16_t> fine_table(const std::vector<std::vector<double>>& edges, const std::vector<double>& lo,
                                     const std::vector<double>& hi, const std::vector<std::int64_t>& offsets,
                                     std::int32_t missing_cell, std::int32_t left_out, const FineGrid& grid) {
    constexpr std::int64_t stride = kFineCodes + 1;
    const size_t n_groups = edges.size();
    std::vector<std::int16_t> table((n_groups + 1) * stride, static_cast<std::int16_t>(left_out));
    std::vector<std::int32_t> inner;
    for (size_t g = 0; g < n_groups; ++g) {
        std::int16_t* t = table.data() + g * stride;
        t[kFineCodes] = static_cast<std::int16_t>(missing_cell < 0 ? left_out : missing_cell);
        const auto& e = edges[g];
        if (e.empty()) continue;
        // Codes strictly between those of the range bounds hold values inside the range;
        // their bin is the number of inner edges with a smaller code: filled run by run, the
        // codes after the k-th inner edge's code (and before the next one's) hold bin k.
        const std::int32_t c_lo = grid.code(lo[g]), c_hi = grid.code(hi[g]);
        inner.clear();
        for (size_t k = 1; k + 1 < e.size(); ++k) inner.push_back(grid.code(e[k]));
        inner.push_back(c_hi);
        // (A repeated code marks one more code ambiguous, which only costs a search.)
        std::int32_t from = c_lo;
        for (size_t k = 0; k < inner.size() && from <= c_hi; ++k) {
            const std::int32_t to = std::min(std::max(inner[k], from), c_hi);  // from <= to <= c_hi
            std::fill(t + from, t + to, static_cast<std::int16_t>(offsets[g] + static_cast<std::int64_t>(k)));
            t[to] = kFineAmbiguous;
            from = to + 1;
        }
        t[c_lo] = kFineAmbiguous;
    }
    return table;
}

}  // namespace tamrel

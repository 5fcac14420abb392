// Pair ranking: quantile cuts, gradient sums per pair of cells, interaction gains.
#include "tamrel/xgb2/pair_rank.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace tamrel::xgb2 {
namespace {

// Sums of a table's observed cells [0, na) x [0, nb) with a zero first row and column:
// P[(i) * (nb + 1) + j] = sum of cells with row < i and column < j.
std::vector<double> prefix_sums(const double* table, std::size_t na, std::size_t nb, std::size_t width) {
    std::vector<double> p((na + 1) * (nb + 1), 0.0);
    for (std::size_t i = 0; i < na; ++i)
        for (std::size_t j = 0; j < nb; ++j)
            p[(i + 1) * (nb + 1) + j + 1] =
                table[i * width + j] + p[i * (nb + 1) + j + 1] + p[(i + 1) * (nb + 1) + j] - p[i * (nb + 1) + j];
    return p;
}

// Sum over rows [i0, i1) and columns [j0, j1) from prefix sums of width nb + 1.
double block(const std::vector<double>& p, std::size_t nb, std::size_t i0, std::size_t i1, std::size_t j0,
             std::size_t j1) {
    const std::size_t w = nb + 1;
    return p[i1 * w + j1] - p[i0 * w + j1] - p[i1 * w + j0] + p[i0 * w + j0];
}

struct Quadrants {
    double G[4], H[4];
};

// The gain of four free steps over the best additive ones (see the header); -1 when a
// quadrant holds too little hessian.
double interaction_gain(const Quadrants& q, double reg_lambda, double min_child_weight) {
    double z[4], inverse_sum = 0.0;
    for (int k = 0; k < 4; ++k) {
        const double w = q.H[k] + reg_lambda;
        if (q.H[k] < min_child_weight || !(w > 0.0)) return -1.0;
        z[k] = -q.G[k] / w;
        inverse_sum += 1.0 / w;
    }
    const double contrast = z[0] - z[1] - z[2] + z[3];
    return contrast * contrast / (2.0 * inverse_sum);
}

double pair_strength(const double* G, const double* H, std::size_t na, std::size_t nb, double reg_lambda,
                     double min_child_weight) {
    const std::size_t width = nb + 1;  // the table's rows also hold the missing cell
    const std::vector<double> pg = prefix_sums(G, na, nb, width), ph = prefix_sums(H, na, nb, width);
    double best = 0.0;
    for (std::size_t t = 1; t < na; ++t) {
        for (std::size_t u = 1; u < nb; ++u) {
            Quadrants q;
            const std::size_t rows[2][2] = {{0, t}, {t, na}}, cols[2][2] = {{0, u}, {u, nb}};
            for (int r = 0; r < 2; ++r)
                for (int c = 0; c < 2; ++c) {
                    q.G[2 * r + c] = block(pg, nb, rows[r][0], rows[r][1], cols[c][0], cols[c][1]);
                    q.H[2 * r + c] = block(ph, nb, rows[r][0], rows[r][1], cols[c][0], cols[c][1]);
                }
            best = std::max(best, interaction_gain(q, reg_lambda, min_child_weight));
        }
    }
    return best;
}

}  // namespace

std::vector<double> quantile_cuts(const Column& x, const Rows& rows, std::int64_t max_bins) {
    if (max_bins < 2) throw std::invalid_argument("max_bins must be at least 2");
    std::vector<double> v;
    v.reserve(static_cast<std::size_t>(rows.count));
    for (std::int64_t k = 0; k < rows.count; ++k) {
        const double value = x[rows[k]];
        if (value == value) v.push_back(value);
    }
    std::sort(v.begin(), v.end());
    std::vector<double> cuts;
    const std::size_t n = v.size();
    for (std::int64_t b = 1; b < max_bins && n > 0; ++b) {
        const double c = v[static_cast<std::size_t>(static_cast<double>(n) * static_cast<double>(b) /
                                                    static_cast<double>(max_bins))];
        // A cut at the smallest value would leave its cell empty.
        if (c > v.front() && (cuts.empty() || c > cuts.back())) cuts.push_back(c);
    }
    return cuts;
}

PairLayout::PairLayout(std::vector<std::vector<double>> feature_cuts) : cuts(std::move(feature_cuts)) {
    offset.push_back(0);
    for (std::size_t a = 0; a < cuts.size(); ++a)
        for (std::size_t b = a + 1; b < cuts.size(); ++b) offset.push_back(offset.back() + cells(a) * cells(b));
}

void add_pair_sums(const PairLayout& layout, const std::vector<Column>& X, const Rows& rows, const double* grad,
                   const double* hess, double* G, double* H) {
    const std::size_t p = layout.n_features();
    if (X.size() != p) throw std::invalid_argument("X has a column per feature of the cuts");
    // Each row's cell per feature, once.
    std::vector<std::vector<std::uint32_t>> code(p, std::vector<std::uint32_t>(static_cast<std::size_t>(rows.count)));
    for (std::size_t f = 0; f < p; ++f) {
        const std::vector<double>& c = layout.cuts[f];
        for (std::int64_t k = 0; k < rows.count; ++k) {
            const double v = X[f][rows[k]];
            code[f][static_cast<std::size_t>(k)] = static_cast<std::uint32_t>(
                v != v ? c.size() + 1 : static_cast<std::size_t>(std::upper_bound(c.begin(), c.end(), v) - c.begin()));
        }
    }
    std::size_t pair = 0;
    for (std::size_t a = 0; a < p; ++a) {
        for (std::size_t b = a + 1; b < p; ++b, ++pair) {
            double* g = G + layout.offset[pair];
            double* h = H + layout.offset[pair];
            const std::size_t width = layout.cells(b);
            const std::uint32_t* ca = code[a].data();
            const std::uint32_t* cb = code[b].data();
            for (std::int64_t k = 0; k < rows.count; ++k) {
                const std::size_t cell = ca[k] * width + cb[k];
                g[cell] += grad[rows[k]];
                h[cell] += hess[rows[k]];
            }
        }
    }
}

std::vector<double> pair_strengths(const PairLayout& layout, const double* G, const double* H, double reg_lambda,
                                   double min_child_weight) {
    std::vector<double> out;
    std::size_t pair = 0;
    for (std::size_t a = 0; a < layout.n_features(); ++a)
        for (std::size_t b = a + 1; b < layout.n_features(); ++b, ++pair)
            out.push_back(pair_strength(G + layout.offset[pair], H + layout.offset[pair], layout.cells(a) - 1,
                                        layout.cells(b) - 1, reg_lambda, min_child_weight));
    return out;
}

}  // namespace tamrel::xgb2

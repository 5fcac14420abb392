// Purification of a decomposition against the distribution of the training rows.
#include "tamrel/xgb2/purify.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <stdexcept>
#include <string>

namespace tamrel::xgb2 {
namespace {

}  // namespace

std::vector<std::size_t> refine_map(const std::vector<double>& fine, const std::vector<double>& coarse, bool missing) {
    std::vector<std::size_t> map(n_cells(fine.size(), missing), 0);
    for (std::size_t c = 1; c <= fine.size(); ++c)
        map[c] = static_cast<std::size_t>(std::upper_bound(coarse.begin(), coarse.end(), fine[c - 1]) - coarse.begin());
    if (missing) map.back() = coarse.size() + 1;  // the missing cell maps onto the missing cell
    return map;
}

namespace {

std::vector<double> coarse_freq(const std::vector<double>& freq, const std::vector<std::size_t>& map,
                                std::size_t n_cells) {
    std::vector<double> p(n_cells, 0.0);
    for (std::size_t c = 0; c < freq.size(); ++c) p[map[c]] += freq[c];
    return p;
}

[[noreturn]] void counts_mismatch() {
    throw std::invalid_argument("the cell counts do not fit the effects' grids");
}

// Weighted means of each row (axis 0) or column (axis 1) of a table, subtracted from it and
// added to `acc`; rows without weight keep a zero mean. Returns the largest |mean|.
double centre_axis(std::vector<double>& table, const std::vector<double>& w, std::size_t rows,
                   std::size_t cols, int axis, std::vector<double>& acc) {
    double largest = 0.0;
    const std::size_t outer = axis == 0 ? rows : cols, inner = axis == 0 ? cols : rows;
    for (std::size_t i = 0; i < outer; ++i) {
        double sum = 0.0, mass = 0.0;
        for (std::size_t j = 0; j < inner; ++j) {
            const std::size_t cell = axis == 0 ? i * cols + j : j * cols + i;
            sum += w[cell] * table[cell];
            mass += w[cell];
        }
        if (mass <= 0.0) continue;
        const double mean = sum / mass;
        for (std::size_t j = 0; j < inner; ++j) table[axis == 0 ? i * cols + j : j * cols + i] -= mean;
        acc[i] += mean;
        largest = std::max(largest, std::fabs(mean));
    }
    return largest;
}

std::vector<double> product_weights(const std::vector<double>& p1, const std::vector<double>& p2) {
    std::vector<double> w(p1.size() * p2.size());
    for (std::size_t a = 0; a < p1.size(); ++a)
        for (std::size_t b = 0; b < p2.size(); ++b) w[a * p2.size() + b] = p1[a] * p2[b];
    return w;
}

// Product weights are centred by one pass per axis. Rows are centred with the column
// feature's frequencies alone, so that rows without data are centred too.
void centre_product(Interaction& in, const std::vector<double>& p1, const std::vector<double>& p2,
                    std::vector<double>& row_acc, std::vector<double>& col_acc) {
    const std::size_t rows = p1.size(), cols = p2.size();
    centre_axis(in.values, product_weights(std::vector<double>(rows, 1.0), p2), rows, cols, 0, row_acc);
    centre_axis(in.values, product_weights(p1, std::vector<double>(cols, 1.0)), rows, cols, 1, col_acc);
}

// Joint counts on the union grids, summed into the interaction's own cells.
void centre_joint(Interaction& in, const std::vector<double>& joint, std::size_t union_width,
                  const std::vector<std::size_t>& m1, const std::vector<std::size_t>& m2, double tolerance,
                  int max_iterations, std::vector<double>& row_acc, std::vector<double>& col_acc) {
    const std::size_t rows = row_acc.size(), cols = col_acc.size();
    if (joint.size() != m1.size() * union_width || m2.size() != union_width) counts_mismatch();
    std::vector<double> w(rows * cols, 0.0);
    for (std::size_t a = 0; a < m1.size(); ++a)
        for (std::size_t b = 0; b < union_width; ++b) w[m1[a] * cols + m2[b]] += joint[a * union_width + b];
    for (int it = 0; it < max_iterations; ++it) {
        const double r = centre_axis(in.values, w, rows, cols, 0, row_acc);
        const double c = centre_axis(in.values, w, rows, cols, 1, col_acc);
        if (std::max(r, c) < tolerance) break;
    }
}

// Adds a per-coarse-cell amount to a main effect living on the union grid.
void add_to_main(MainEffect& m, const std::vector<double>& amount, const std::vector<std::size_t>& map) {
    for (std::size_t c = 0; c < m.values.size(); ++c) m.values[c] += amount[map[c]];
}

}  // namespace

FeatureGrids purification_grids(const Decomposition& d) {
    FeatureGrids grids;
    auto add = [&grids](std::int64_t f, const std::vector<double>& t) {
        auto& g = grids[f];
        g.insert(g.end(), t.begin(), t.end());
    };
    for (const MainEffect& m : d.mains) add(m.feature, m.thresholds);
    for (const Interaction& in : d.interactions) {
        add(in.first, in.thresholds1);
        add(in.second, in.thresholds2);
    }
    for (auto& [f, g] : grids) {
        std::sort(g.begin(), g.end());
        g.erase(std::unique(g.begin(), g.end()), g.end());
    }
    return grids;
}

CellCounts count_cells(const Decomposition& d, const FeatureGrids& grids, const Matrix& X, bool float32,
                       bool joint) {
    CellCounts counts;
    counts.n_rows = static_cast<double>(X.n_rows);
    std::map<std::int64_t, std::vector<std::int64_t>> cells;  // kept for the joint counts only
    std::vector<std::int64_t> cell(static_cast<std::size_t>(X.n_rows));
    for (const auto& [f, t] : grids) {
        if (f < 0 || static_cast<std::size_t>(f) >= X.columns.size())
            throw std::invalid_argument("X has " + std::to_string(X.columns.size()) +
                                        " columns, but the trees use feature " + std::to_string(f));
        if (!bin_column(X.columns[static_cast<std::size_t>(f)], Grid{t.data(), t.size(), d.missing}, float32,
                        cell.data()))
            throw std::invalid_argument("X contains NaN");
        auto& m = counts.marginal[f];
        m.assign(n_cells(t.size(), d.missing), 0.0);
        for (std::int64_t c : cell) m[static_cast<std::size_t>(c)] += 1.0;
        if (joint) cells[f] = cell;
    }
    if (!joint) return counts;
    for (const Interaction& in : d.interactions) {
        const std::vector<std::int64_t>& a = cells.at(in.first);
        const std::vector<std::int64_t>& b = cells.at(in.second);
        const std::size_t width = n_cells(grids.at(in.second).size(), d.missing);
        std::vector<double> w(n_cells(grids.at(in.first).size(), d.missing) * width, 0.0);
        for (std::size_t r = 0; r < cell.size(); ++r)
            w[static_cast<std::size_t>(a[r]) * width + static_cast<std::size_t>(b[r])] += 1.0;
        counts.joint.push_back(std::move(w));
    }
    return counts;
}

void purify_counts(Decomposition& d, const FeatureGrids& grids, const CellCounts& counts, bool true_to_data,
                   double tolerance, int max_iterations) {
    if (!(counts.n_rows > 0.0)) throw std::invalid_argument("X has no rows");
    if (true_to_data && counts.joint.size() != d.interactions.size()) counts_mismatch();
    std::map<std::int64_t, std::vector<double>> freq;
    for (const auto& [f, t] : grids) {
        const auto found = counts.marginal.find(f);
        if (found == counts.marginal.end() || found->second.size() != n_cells(t.size(), d.missing)) counts_mismatch();
        auto& p = freq[f];
        for (double c : found->second) p.push_back(c / counts.n_rows);
    }

    std::map<std::int64_t, MainEffect*> main_of;
    for (MainEffect& m : d.mains) {
        const std::vector<double>& grid = grids.at(m.feature);
        const std::vector<std::size_t> map = refine_map(grid, m.thresholds, d.missing);
        std::vector<double> values(n_cells(grid.size(), d.missing));
        for (std::size_t c = 0; c < values.size(); ++c) values[c] = m.values[map[c]];
        m.thresholds = grid;
        m.values.swap(values);
        main_of[m.feature] = &m;
    }

    for (std::size_t i = 0; i < d.interactions.size(); ++i) {
        Interaction& in = d.interactions[i];
        const std::vector<double>& g1 = grids.at(in.first);
        const std::vector<double>& g2 = grids.at(in.second);
        const auto m1 = refine_map(g1, in.thresholds1, d.missing);
        const auto m2 = refine_map(g2, in.thresholds2, d.missing);
        std::vector<double> row_acc(in.height(), 0.0), col_acc(in.width(), 0.0);
        if (true_to_data)
            centre_joint(in, counts.joint[i], m2.size(), m1, m2, tolerance, max_iterations, row_acc, col_acc);
        else
            centre_product(in, coarse_freq(freq.at(in.first), m1, row_acc.size()),
                           coarse_freq(freq.at(in.second), m2, col_acc.size()), row_acc, col_acc);
        add_to_main(*main_of.at(in.first), row_acc, m1);
        add_to_main(*main_of.at(in.second), col_acc, m2);
    }

    for (MainEffect& m : d.mains) {
        const std::vector<double>& p = freq.at(m.feature);
        double mean = 0.0;
        for (std::size_t c = 0; c < p.size(); ++c) mean += p[c] * m.values[c];
        for (double& v : m.values) v -= mean;
        d.intercept += mean;
    }
}

void purify(Decomposition& d, const Matrix& X, bool float32, bool true_to_data, double tolerance,
            int max_iterations) {
    if (X.n_rows == 0) throw std::invalid_argument("X has no rows");
    const FeatureGrids grids = purification_grids(d);
    purify_counts(d, grids, count_cells(d, grids, X, float32, true_to_data), true_to_data, tolerance,
                  max_iterations);
}

}  // namespace tamrel::xgb2

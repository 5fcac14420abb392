// Purification of a decomposition against the distribution of the training rows.
#include "tamrel/xgb2/purify.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <stdexcept>
#include <string>

namespace tamrel::xgb2 {
namespace {

// Bin frequencies (and, for joint weights, each row's cell) of one feature on its union grid.
struct Binned {
    std::vector<double> thresholds;
    std::vector<double> freq;
    std::vector<std::int64_t> cells;
};

// For each cell of a fine grid, the cell of a coarser grid (a subset of its thresholds)
// that contains it: the count of coarse thresholds <= the fine cell's lower edge.
std::vector<std::size_t> refine_map(const std::vector<double>& fine, const std::vector<double>& coarse) {
    std::vector<std::size_t> map(fine.size() + 1, 0);
    for (std::size_t c = 1; c <= fine.size(); ++c)
        map[c] = static_cast<std::size_t>(std::upper_bound(coarse.begin(), coarse.end(), fine[c - 1]) - coarse.begin());
    return map;
}

std::vector<double> coarse_freq(const Binned& b, const std::vector<std::size_t>& map, std::size_t n_cells) {
    std::vector<double> p(n_cells, 0.0);
    for (std::size_t c = 0; c < b.freq.size(); ++c) p[map[c]] += b.freq[c];
    return p;
}

std::map<std::int64_t, Binned> bin_features(const Decomposition& d, const Matrix& X, bool float32) {
    std::map<std::int64_t, Binned> out;
    for (const MainEffect& m : d.mains) {
        auto& t = out[m.feature].thresholds;
        t.insert(t.end(), m.thresholds.begin(), m.thresholds.end());
    }
    for (const Interaction& in : d.interactions) {
        auto& t1 = out[in.first].thresholds;
        t1.insert(t1.end(), in.thresholds1.begin(), in.thresholds1.end());
        auto& t2 = out[in.second].thresholds;
        t2.insert(t2.end(), in.thresholds2.begin(), in.thresholds2.end());
    }
    const double share = 1.0 / static_cast<double>(X.n_rows);
    for (auto& [f, b] : out) {
        if (f < 0 || static_cast<std::size_t>(f) >= X.columns.size())
            throw std::invalid_argument("X has " + std::to_string(X.columns.size()) +
                                        " columns, but the trees use feature " + std::to_string(f));
        std::sort(b.thresholds.begin(), b.thresholds.end());
        b.thresholds.erase(std::unique(b.thresholds.begin(), b.thresholds.end()), b.thresholds.end());
        b.cells.resize(static_cast<std::size_t>(X.n_rows));
        const Grid grid{b.thresholds.data(), b.thresholds.size()};
        if (!bin_column(X.columns[static_cast<std::size_t>(f)], grid, float32, b.cells.data()))
            throw std::invalid_argument("X contains NaN");
        b.freq.assign(grid.n_cells(), 0.0);
        for (std::int64_t c : b.cells) b.freq[static_cast<std::size_t>(c)] += share;
    }
    return out;
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

void centre_joint(Interaction& in, const Binned& b1, const Binned& b2, const std::vector<std::size_t>& m1,
                  const std::vector<std::size_t>& m2, double tolerance, int max_iterations,
                  std::vector<double>& row_acc, std::vector<double>& col_acc) {
    const std::size_t rows = row_acc.size(), cols = col_acc.size();
    std::vector<double> w(rows * cols, 0.0);
    for (std::size_t r = 0; r < b1.cells.size(); ++r)
        w[m1[static_cast<std::size_t>(b1.cells[r])] * cols + m2[static_cast<std::size_t>(b2.cells[r])]] += 1.0;
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

void purify(Decomposition& d, const Matrix& X, bool float32, bool true_to_data, double tolerance,
            int max_iterations) {
    if (X.n_rows == 0) throw std::invalid_argument("X has no rows");
    std::map<std::int64_t, Binned> binned = bin_features(d, X, float32);

    std::map<std::int64_t, MainEffect*> main_of;
    for (MainEffect& m : d.mains) {
        const Binned& b = binned[m.feature];
        const std::vector<std::size_t> map = refine_map(b.thresholds, m.thresholds);
        std::vector<double> values(b.thresholds.size() + 1);
        for (std::size_t c = 0; c < values.size(); ++c) values[c] = m.values[map[c]];
        m.thresholds = b.thresholds;
        m.values.swap(values);
        main_of[m.feature] = &m;
    }

    for (Interaction& in : d.interactions) {
        const Binned& b1 = binned[in.first];
        const Binned& b2 = binned[in.second];
        const auto m1 = refine_map(b1.thresholds, in.thresholds1);
        const auto m2 = refine_map(b2.thresholds, in.thresholds2);
        std::vector<double> row_acc(in.thresholds1.size() + 1, 0.0), col_acc(in.width(), 0.0);
        if (true_to_data)
            centre_joint(in, b1, b2, m1, m2, tolerance, max_iterations, row_acc, col_acc);
        else
            centre_product(in, coarse_freq(b1, m1, row_acc.size()), coarse_freq(b2, m2, col_acc.size()),
                           row_acc, col_acc);
        add_to_main(*main_of.at(in.first), row_acc, m1);
        add_to_main(*main_of.at(in.second), col_acc, m2);
    }

    for (MainEffect& m : d.mains) {
        const std::vector<double>& freq = binned[m.feature].freq;
        double mean = 0.0;
        for (std::size_t c = 0; c < freq.size(); ++c) mean += freq[c] * m.values[c];
        for (double& v : m.values) v -= mean;
        d.intercept += mean;
    }
}

}  // namespace tamrel::xgb2

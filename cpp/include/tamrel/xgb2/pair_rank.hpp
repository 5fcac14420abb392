// Ranking of feature pairs by how much a pure interaction of the two would gain on the
// residual of a main-effect model: Newton steps on gradient and hessian sums, as boosting
// takes them, over a coarse grid of each feature.
//
// For a pair (a, b), the rows are binned on both features (NaN in a missing cell that the
// ranking leaves out) and every cut of a at a bin edge t with every cut of b at u makes
// four quadrants q with gradient sum G_q and hessian sum H_q. With w_q = H_q + lambda,
// z_q = -G_q / w_q is the best step of each quadrant alone; the best additive step
// (a row part plus a column part) leaves the interaction contrast
// c = z_00 - z_01 - z_10 + z_11 unexplained, and the loss that the four free steps gain
// beyond the additive ones is c^2 / (2 sum_q 1 / w_q). A pair's strength is the largest
// such gain over all cuts whose quadrants each hold at least `min_child_weight` of hessian;
// 0 where no cut qualifies. Main effects left in the residual gain nothing here, so a
// feature with a strong main effect does not pull its pairs up.
#pragma once

#include "tamrel/column.hpp"

#include <cstdint>
#include <vector>

namespace tamrel::xgb2 {

// Cut points of column x over `rows` (NaN left out): cells of about equal row counts, at
// most max_bins of them; a value v lies in the cell numbered by the count of cuts <= v.
std::vector<double> quantile_cuts(const Column& x, const Rows& rows, std::int64_t max_bins);

// The histogram layout of all pairs (a, b), a < b, in the order (0, 1), (0, 2), ..., (1, 2),
// ...: per pair a table of cells(a) x cells(b) entries, cells(f) = cuts[f].size() + 2 (the
// observed cells, then the missing one).
struct PairLayout {
    std::vector<std::vector<double>> cuts;
    std::vector<std::size_t> offset;  // start of each pair's table; back() is the total size
    explicit PairLayout(std::vector<std::vector<double>> feature_cuts);
    std::size_t n_features() const { return cuts.size(); }
    std::size_t cells(std::size_t f) const { return cuts[f].size() + 2; }
};

// Adds the gradients and hessians of `rows` of X into the pair tables G and H (each of
// layout.offset.back() entries). X has one column per feature of the layout.
void add_pair_sums(const PairLayout& layout, const std::vector<Column>& X, const Rows& rows, const double* grad,
                   const double* hess, double* G, double* H);

// The strength of every pair of the layout, from summed tables.
std::vector<double> pair_strengths(const PairLayout& layout, const double* G, const double* H, double reg_lambda,
                                   double min_child_weight);

}  // namespace tamrel::xgb2

// Exact decomposition of an ensemble of depth-2 regression trees (or deeper ones whose
// paths split on at most two features each) into an intercept,
// main effects (one feature) and pairwise interactions (two features).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tamrel::xgb2 {

// The trees as flat node arrays: tree t owns nodes [offsets[t], offsets[t + 1]); child
// ids count from the tree's first node, -1 marks a leaf. `value` is a split node's
// threshold (x < threshold goes left) or a leaf's output. With `missing`, the effects carry
// a missing cell per feature (see effect_grid.hpp), filled as `default_left` routes a
// missing value at each split node (XGBoost's default direction; null: always left).
struct Ensemble {
    const std::int64_t* offsets;
    std::size_t n_trees;
    const std::int64_t* left;
    const std::int64_t* right;
    const std::int64_t* feature;
    const double* value;
    std::size_t n_nodes;
    bool missing = false;
    const std::uint8_t* default_left = nullptr;
    // Trees deeper than 2 are taken where their splits use at most two features (the bagged
    // models' pair trees); otherwise they are refused.
    bool deep = false;
};

// Cells of a feature with k thresholds: k + 1, and the missing cell last where there is one.
inline std::size_t n_cells(std::size_t k, bool missing) { return k + 1 + (missing ? 1 : 0); }

struct MainEffect {
    std::int64_t feature;
    std::vector<double> thresholds;  // sorted, distinct
    std::vector<double> values;      // one per cell: n_cells(thresholds.size(), missing)
    bool missing = false;
};

struct Interaction {
    std::int64_t first, second;                // first < second
    std::vector<double> thresholds1, thresholds2;
    std::vector<double> values;                // row-major height() x width(), rows: first
    bool missing = false;
    std::size_t height() const { return n_cells(thresholds1.size(), missing); }
    std::size_t width() const { return n_cells(thresholds2.size(), missing); }
};

struct Decomposition {
    bool missing = false;  // every effect has a missing cell per feature
    double intercept = 0.0;
    std::vector<MainEffect> mains;       // one per feature any tree uses, ascending
    std::vector<Interaction> interactions;  // ascending by (first, second)
};

// Splits every tree into pieces that depend on at most two features. A root on A with a
// child on B != A contributes 1[A on that side] * g(B) to the pair (A, B); a child that
// is a leaf or splits on A again contributes to A's main effect; a single leaf goes to
// the intercept. With `deep`, a tree deeper than 2 adds its leaves by their paths: the
// leaves whose paths split on one feature (or one pair) add their indicator sum, tabulated
// on those paths' thresholds, to that main effect (or pair). Throws std::invalid_argument
// for trees deeper than 2 (with `deep`: for a path splitting on more than two features),
// bad child ids or features outside [0, n_features).
Decomposition decompose(const Ensemble& trees, std::int64_t n_features);

}  // namespace tamrel::xgb2

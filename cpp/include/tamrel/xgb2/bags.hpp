// A model that averages several depth-2 ensembles (bags) decomposes into the average of
// their decompositions, laid on common grids; the bag-to-bag spread of every cell comes
// with it.
#pragma once

#include "tamrel/xgb2/decompose.hpp"
#include "tamrel/xgb2/purify.hpp"

#include <vector>

namespace tamrel::xgb2 {

// The common layout of the bags: one main effect per feature that any bag uses and one
// interaction per pair that any bag splits on together, every effect on its features' full
// grids (all thresholds of that feature in any bag), values zero.
Decomposition bags_layout(const std::vector<Decomposition>& bags);

// A bag's decomposition on the layout's grids (effects it lacks are zero); its sum is
// unchanged on every row.
Decomposition on_layout(const Decomposition& bag, const Decomposition& layout);

// mean: the average of the bags laid on `layout` and purified with product weights from
// `counts` (made on purification_grids(layout)); its sum is the average of the bags' sums.
// spread: the same layout holding, per cell, the standard deviation over the bags (the
// intercept's too).
struct BaggedDecomposition {
    Decomposition mean, spread;
};
BaggedDecomposition average_bags(const std::vector<Decomposition>& bags, const Decomposition& layout,
                                 const CellCounts& counts);

}  // namespace tamrel::xgb2

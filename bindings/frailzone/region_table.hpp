// Weak regions measured on the training and test subsets, ordered and tabulated.
#pragma once

#include "slice_scoring.hpp"

namespace frailzone_py {

// One subset handed to BaseSlicing.fit; `scores` caches its per-sample scores (additive
// metrics) once computed.
struct Subset {
    py::object x, y, pred, weight;
    py::object scores;
};

// A region record per bound record of the slicer's weak_region: a shallow copy extended
// with "#Train", "#Test", the " All" score objects, the two scores and "Gap".
py::list build_region_records(const py::object& slicer, const Scoring& scoring, Subset& train,
                              Subset& test);

// Descending "Gap", stable; records whose "Gap" is NaN go last in their original order.
void sort_by_gap(py::list& records);

// The weak-region table: bounds, counts and scores, columns named for the features.
py::object region_table(const py::object& slicer, const py::list& records);

}  // namespace frailzone_py

// Scoring of one slice and the weak test, shared by the slicers and the region table.
#pragma once

#include <vector>

#include "frailzone_classes.hpp"
#include "tamrel/slices.hpp"

namespace frailzone_py {

// The slicer's scoring settings, read once per call.
struct Scoring {
    bool additive = true;
    py::object scoring_func;

    explicit Scoring(const py::object& slicer);
};

// Sets the slicer's threshold_value, its threshold (the score multiplier) times `average`,
// the overall score of the n_rows analysed rows, which the weak test keeps for the slice of
// every row.
void set_threshold_value(const py::object& slicer, const py::object& average, std::int64_t n_rows);

// The slicer's weak test (score_sign, threshold_value and the overall score of its rows)
// and its min_samples, read as numbers (a NaN min_samples is refused).
tamrel::WeakTest weak_test(const py::object& slicer);
double min_samples(const py::object& slicer);

// Score of the rows `idx` of a slice: for an additive metric the mean of the per-sample
// `scores` there (weighted when weights are given and sum to more than 0), otherwise
// scoring_func(y[idx], preds[idx], sample_weight=...). NaN for no row.
double slice_score(const Scoring& scoring, const py::object& y, const py::object& preds,
                   const py::object& scores, const std::vector<std::int64_t>& idx,
                   const py::object& sample_weight);

// scoring_func on the rows `idx` (as an index array), weights by keyword (None included).
py::object score_rows(const Scoring& scoring, const py::object& y, const py::object& preds,
                      const py::array_t<std::int64_t>& idx, const py::object& sample_weight);

}  // namespace frailzone_py

#include "slice_scoring.hpp"

#include <cmath>
#include <limits>

namespace frailzone_py {

using namespace pybind11::literals;

Scoring::Scoring(const py::object& slicer)
    : additive(py::bool_(slicer.attr("is_metric_additive"))),
      scoring_func(slicer.attr("scoring_func")) {}

void set_threshold_value(const py::object& slicer, const py::object& average, std::int64_t n_rows) {
    slicer.attr("threshold_value") = py::object(slicer.attr("threshold")) * average;
    slicer.attr("_weak_overall") = average;
    slicer.attr("_weak_rows") = py::int_(n_rows);
}

tamrel::WeakTest weak_test(const py::object& slicer) {
    tamrel::WeakTest weak{as_number(slicer.attr("score_sign"), "score_sign"),
                          as_number(slicer.attr("threshold_value"), "threshold_value")};
    const py::object overall = py::getattr(slicer, "_weak_overall", py::none());
    if (!overall.is_none()) {
        weak.overall = as_number(overall, "the overall score");
        weak.n_total = as_position(slicer.attr("_weak_rows"), "the analysed rows");
    }
    return weak;
}

double min_samples(const py::object& slicer) {
    const double v = as_number(slicer.attr("min_samples"), "min_samples");
    if (std::isnan(v)) throw py::value_error("min_samples must be a number, got nan.");
    return v;
}

py::object score_rows(const Scoring& scoring, const py::object& y, const py::object& preds,
                      const py::array_t<std::int64_t>& idx, const py::object& sample_weight) {
    py::object w = sample_weight.is_none() ? py::none() : take_rows(sample_weight, idx, "sample_weight");
    return scoring.scoring_func(take_rows(y, idx, "y"), take_rows(preds, idx, "preds"), "sample_weight"_a = w);
}

double slice_score(const Scoring& scoring, const py::object& y, const py::object& preds,
                   const py::object& scores, const std::vector<std::int64_t>& idx,
                   const py::object& sample_weight) {
    if (idx.empty()) return std::numeric_limits<double>::quiet_NaN();
    if (!scoring.additive)
        return as_number(score_rows(scoring, y, preds, to_index_array(idx), sample_weight),
                         "the score of a slice");
    const ColumnRef s = column_ref(scores, "scores");
    const ColumnRef w = weight_column(sample_weight);
    const std::int64_t top = *std::max_element(idx.begin(), idx.end());
    if (top >= s.col.size || (!w.col.empty() && top >= w.col.size))
        throw py::index_error("scores and sample_weight must have one entry per row of x.");
    py::gil_scoped_release nogil;
    return tamrel::mean_at(s.col, tamrel::Rows::of(idx), w.col);
}

}  // namespace frailzone_py

// The classes of tamrel.diagnoser.frailzone, one definition function each, and the
// helpers their methods share.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "conversion.hpp"
#include "tamrel/column.hpp"
#include "tamrel/regions.hpp"

namespace frailzone_py {

void define_base_slicing(py::module_& m);
void define_histogram_slicing(py::module_& m);
void define_tree_slicing(py::module_& m);
void define_frailzone(py::module_& m);
void define_frail_scan(py::module_& m);
// Adds _fit2d to the HistogramSlicing class.
void define_fit2d(py::object& cls);
// FrailZone methods after fit: get_distance, get_shift, get_marginal; plot_marginal.
void define_frailzone_results(py::object& cls);
void define_frailzone_plot(py::object& cls);

// NotFittedError (sklearn) naming `method` when the facade `self` has not been fitted.
void check_fitted(const py::object& self, const char* method);

// A module-level name of tamrel.diagnoser.frailzone ("np", "TamrelError", ...).
py::object mod(const char* name);
[[noreturn]] void raise_tamrel(const std::string& message);

// The conversion toolkit of both modules (bindings/common/conversion.hpp).
using tamrel_py::as_number;
using tamrel_py::as_position;
using tamrel_py::column_ref;
using tamrel_py::ColumnRef;
using tamrel_py::matrix_column;
using tamrel_py::optional_column;
// The optional sample_weight column: empty when obj is None; NaN or infinite weights
// raise ValueError.
ColumnRef weight_column(const py::handle& obj);

// arr[idx] for the rows idx of a 1-D or 2-D array (a C++ gather for fixed-size dtypes,
// NumPy indexing otherwise); positions outside the rows raise IndexError.
py::object take_rows(const py::handle& arr, const py::handle& idx, const char* what);

using tamrel_py::check_length;
using tamrel_py::positive_bins;
using tamrel_py::to_float_array;
using tamrel_py::to_index_array;


// A ValueError unless the array-like obj has n entries along its first axis (TypeError
// for None), for the inputs a scoring function reads row by row.
void check_rows(const py::handle& obj, std::int64_t n, const char* what);

// The slicer's `bins` as a positive integer (TypeError / ValueError otherwise).
std::int64_t checked_bins(const py::object& slicer);

// Column positions of the slicing features in feature_names, duplicates removed keeping
// the first occurrence (a plain string is one name); a ValueError names a feature that
// is not there, and more than two distinct features raise TamrelError.
py::list slicing_positions(const py::object& slicer);

// Mean of the per-sample scores: weighted when weights are given and sum to more than 0.
double average_score(const py::object& scores, const py::object& sample_weight);

// The analysis settings the facade's result records repeat, added to `value` in this
// order: "slice_features", "bins", ["threshold_value" (the facade's threshold),] "method",
// "min_samples", "metric". analysis_settings: a new dict of them without the threshold.
void add_analysis_settings(const py::object& facade, py::dict& value, bool with_threshold);
py::dict analysis_settings(const py::object& facade);

// The slicing feature name of column `which` (0 or 1) of the slicer, for messages.
std::string slicing_feature_name(const py::object& slicer, size_t which);

// Run f(), turning the core's refusal of a feature's bins into a ValueError naming it.
template <typename F>
auto for_feature(const py::object& slicer, size_t which, F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const std::domain_error& e) {
        throw py::value_error("Feature '" + slicing_feature_name(slicer, which) + "': " + e.what());
    }
}

// ValueError for a slicing column holding NaN or infinite values.
[[noreturn]] void raise_not_finite(const py::object& slicer, size_t which);

// The boxes of weak-region records with closed upper bounds decided on the slicer's own
// data: ub1 is closed when it equals the maximum of the first slicing column of the
// sliced matrix, ub2 when it equals the maximum of the second slicing column over the
// sliced rows that meet the first condition. The same flags then serve any matrix.
std::vector<tamrel::Box> region_boxes(const py::object& slicer, const py::list& records);

// Rows of `matrix` inside each box, in one pass (positions ascending per box).
std::vector<std::vector<std::int64_t>> region_members(const py::object& slicer,
                                                      const py::handle& matrix,
                                                      const std::vector<tamrel::Box>& boxes);

// The slicing column positions of a fitted slicer (its fidx), as integers.
std::vector<py::ssize_t> slicer_fidx(const py::object& slicer);

// Rule record {"splits": {"f0": {...}[, "f1": {...}]}, "values": v, "counts": n}.
py::dict rule_record(const py::object& lb1, const py::object& ub1, const py::object& lb2,
                     const py::object& ub2, bool two, double value, std::int64_t count);

}  // namespace frailzone_py

// BaseSlicing: scoring settings, slice selection and scoring, and the region table.
#include <algorithm>
#include <cmath>
#include <limits>

#include "region_table.hpp"
#include "slice_scoring.hpp"

namespace frailzone_py {

using namespace pybind11::literals;

// Named rather than anonymous: the binding files compile together in unity groups.
namespace base_slicing_impl {

void init(py::object self, py::object estimator, py::object slice_features, py::object task_type,
          py::object threshold, py::object min_samples, py::object metric) {
    self.attr("estimator") = estimator;
    self.attr("slice_features") = slice_features;
    self.attr("task_type") = task_type;
    self.attr("metric") = metric;
    self.attr("min_samples") = min_samples;
    py::object result = mod("get_scoring_metric")(metric, "average"_a = false);
    py::tuple five = py::tuple(result);
    if (five.size() != 5)
        throw py::value_error("get_scoring_metric must return 5 values, got " +
                              std::to_string(five.size()) + ".");
    const char* names[] = {"score_name", "score_sign", "scoring_func", "needs_proba",
                           "is_metric_additive"};
    for (size_t i = 0; i < 5; ++i) self.attr(names[i]) = five[i];
    // A higher-is-better score is weak below overall / threshold (the core's rule); a
    // threshold that is not a number is refused by fit.
    const bool number = py::isinstance(threshold, py::module_::import("numbers").attr("Real"));
    if (number &&
        tamrel::inverts_threshold(as_number(threshold, "threshold"), as_number(self.attr("score_sign"), "score_sign")))
        threshold = py::int_(1) / threshold;
    self.attr("threshold") = threshold;
}

// The bounds that apply to the cut feature: lb1/ub1 with one slicing feature, else lb2/ub2.
std::vector<std::int64_t> slice_index(const py::object& self, const py::object& x, const py::object& lb1,
                                      const py::object& ub1, const py::object& lb2,
                                      const py::object& ub2, const py::object& right) {
    const bool one = py::len(self.attr("fidx")) == 1;
    const py::object& lb = one ? lb1 : lb2;
    const py::object& ub = one ? ub1 : ub2;
    if (lb.is_none() || ub.is_none())
        throw py::type_error(one ? "lb1 and ub1 are required." : "lb2 and ub2 are required with two slicing features.");
    const ColumnRef col = column_ref(x, "x");
    const double lo = as_number(lb, one ? "lb1" : "lb2"), hi = as_number(ub, one ? "ub1" : "ub2");
    const bool closed = py::bool_(right);
    py::gil_scoped_release nogil;
    return tamrel::select_range(col.col, lo, hi, closed);
}

py::object get_index(py::object self, py::object x, py::object lb1, py::object ub1, py::object lb2,
                     py::object ub2, py::object right) {
    return to_index_array(slice_index(self, x, lb1, ub1, lb2, ub2, right));
}

py::object get_rule_list(py::object self, py::object x, py::object y, py::object preds,
                         py::object scores, py::object lb1, py::object ub1, py::object lb2,
                         py::object ub2, py::object right, py::object sample_weight) {
    const auto idx = slice_index(self, x, lb1, ub1, lb2, ub2, right);
    const double score = slice_score(Scoring(self), y, preds, scores, idx, sample_weight);
    const bool two = py::len(self.attr("fidx")) != 1;
    py::list rules;
    rules.append(rule_record(lb1, ub1, lb2, ub2, two, score, static_cast<std::int64_t>(idx.size())));
    return rules;
}

py::object evaluate_slice(py::object self, py::object x, py::object y, py::object preds,
                          py::object scores, py::object lb1, py::object ub1, py::object lb2,
                          py::object ub2, py::object right, py::object sample_weight) {
    py::list out;
    const auto idx = slice_index(self, x, lb1, ub1, lb2, ub2, right);
    if (idx.empty()) return out;
    const Scoring scoring(self);
    const double score = slice_score(scoring, y, preds, scores, idx, sample_weight);
    if (!weak_test(self)(score, static_cast<std::int64_t>(idx.size()))) return out;
    py::dict rec;
    rec["lb1"] = lb1;
    rec["ub1"] = ub1;
    if (py::len(self.attr("fidx")) != 1) {
        rec["lb2"] = lb2;
        rec["ub2"] = ub2;
    }
    out.append(rec);
    return out;
}

// Flattened predictions of a subset; a clear error when the model gave none.
py::object flat_preds(const py::object& pred, const char* name) {
    if (pred.is_none())
        raise_tamrel(std::string(name) +
                     " is None: the metric needs the model's predictions (or probabilities) of the sliced subset.");
    return mod("np").attr("ravel")(mod("np").attr("asarray")(pred));
}

py::object fit(py::object self, py::object train_x, py::object train_y, py::object test_x,
               py::object test_y, py::object train_pred, py::object test_pred,
               py::object feature_names, py::object use_test, py::object train_sample_weight,
               py::object test_sample_weight) {
    self.attr("use_test") = use_test;
    self.attr("weak_region_stats") = py::list();
    self.attr("feature_names") = feature_names;
    slicing_positions(self);  // unknown or too many slicing features: refused before any scoring
    const bool on_test = py::bool_(use_test);
    Subset train{train_x, train_y, train_pred, train_sample_weight, py::none()};
    Subset test{test_x, test_y, test_pred, test_sample_weight, py::none()};
    Subset& sliced = on_test ? test : train;

    const Scoring scoring(self);
    py::object preds = flat_preds(sliced.pred, on_test ? "test_pred" : "train_pred");
    py::object y_flat = mod("np").attr("ravel")(mod("np").attr("asarray")(sliced.y));
    py::object scores = scoring.additive
                            ? scoring.scoring_func(y_flat, preds)
                            : scoring.scoring_func(y_flat, preds, "sample_weight"_a = sliced.weight);
    if (scoring.additive) sliced.scores = scores;
    self.attr("_fit")(sliced.x, sliced.y, preds, scores, "sample_weight"_a = sliced.weight);

    py::list records = build_region_records(self, scoring, train, test);
    if (records.empty()) return py::none();
    sort_by_gap(records);
    self.attr("weak_region_stats") = records;
    return region_table(self, records);
}

const char* kInitDoc =
    "init(self, estimator=None, slice_features=None, task_type=None, threshold=1.2, min_samples=30, metric=None)\n--\n\n"
    "Store the settings and derive the score multiplier from the threshold.\n\n"
    "The multiplier is 1 / threshold for a score where higher is better (and a positive\n"
    "threshold), the threshold itself otherwise.";
const char* kGetIndexDoc =
    "get_index(self, x, lb1, ub1, lb2=None, ub2=None, right=False)\n--\n\n"
    "Positions of the values of x in [lb, ub) ([lb, ub] when right), where (lb, ub) is\n"
    "(lb1, ub1) with one slicing feature and (lb2, ub2) with two.";
const char* kGetRuleListDoc =
    "get_rule_list(self, x, y, preds, scores, lb1, ub1, lb2=None, ub2=None, right=False, sample_weight=None)\n--\n\n"
    "A list holding the rule record of one slice: its bounds, score (NaN when empty) and row count.";
const char* kEvaluateSliceDoc =
    "evaluate_slice(self, x, y, preds, scores, lb1, ub1, lb2=None, ub2=None, right=False, sample_weight=None)\n--\n\n"
    "A list holding the slice's bound record when the slice is weak, else an empty list.";
const char* kFitDoc =
    "fit(self, train_x, train_y, test_x, test_y, train_pred=None, test_pred=None, feature_names=None, "
    "use_test=True, train_sample_weight=None, test_sample_weight=None)\n--\n\n"
    "Slice the chosen subset, measure each weak region on both subsets and return the\n"
    "weak-region table (None when no weak region is found).";

}  // namespace base_slicing_impl

void define_base_slicing(py::module_& m) {
    using namespace base_slicing_impl;
    py::object cls = tamrel_py::make_class(
        m, "BaseSlicing", py::make_tuple(py::module_::import("builtins").attr("object")),
        "Base slice class for analyzing 1D or 2D numerical features.\n\n"
        "Holds the scoring configuration, turns the threshold into a score multiplier and\n"
        "offers slice selection (get_index), rule records (get_rule_list), the weak test\n"
        "(evaluate_slice) and the fitting driver (fit) that calls the subclass hook _fit.");
    const py::object none = py::none();
    tamrel_py::add_method(cls, "__init__", "init", &init, kInitDoc, py::arg("estimator") = none,
                          py::arg("slice_features") = none, py::arg("task_type") = none,
                          py::arg("threshold") = 1.2, py::arg("min_samples") = 30, py::arg("metric") = none);
    tamrel_py::add_method(cls, "get_index", "get_index", &get_index, kGetIndexDoc, py::arg("x"),
                          py::arg("lb1"), py::arg("ub1"), py::arg("lb2") = none, py::arg("ub2") = none,
                          py::arg("right") = false);
    tamrel_py::add_method(cls, "get_rule_list", "get_rule_list", &get_rule_list, kGetRuleListDoc,
                          py::arg("x"), py::arg("y"), py::arg("preds"), py::arg("scores"), py::arg("lb1"),
                          py::arg("ub1"), py::arg("lb2") = none, py::arg("ub2") = none,
                          py::arg("right") = false, py::arg("sample_weight") = none);
    tamrel_py::add_method(cls, "evaluate_slice", "evaluate_slice", &evaluate_slice, kEvaluateSliceDoc,
                          py::arg("x"), py::arg("y"), py::arg("preds"), py::arg("scores"), py::arg("lb1"),
                          py::arg("ub1"), py::arg("lb2") = none, py::arg("ub2") = none,
                          py::arg("right") = false, py::arg("sample_weight") = none);
    tamrel_py::add_method(cls, "fit", "fit", &fit, kFitDoc, py::arg("train_x"), py::arg("train_y"),
                          py::arg("test_x"), py::arg("test_y"), py::arg("train_pred") = none,
                          py::arg("test_pred") = none, py::arg("feature_names") = none,
                          py::arg("use_test") = true, py::arg("train_sample_weight") = none,
                          py::arg("test_sample_weight") = none);
}

}  // namespace frailzone_py

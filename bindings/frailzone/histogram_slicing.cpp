// HistogramSlicing: equal-width bins of the slicing feature(s), weak bins merged.
#include <limits>

#include "slice_scoring.hpp"
#include "tamrel/binning.hpp"
#include "tamrel/slices.hpp"

namespace frailzone_py {

using namespace pybind11::literals;

// Named rather than anonymous: the binding files compile together in unity groups.
namespace histogram_impl {

void init(py::object self, py::object estimator, py::object slice_features, py::object task_type,
          py::object threshold, py::object min_samples, py::object bins, py::object metric) {
    self.attr("bins") = bins;
    mod("BaseSlicing").attr("__init__")(self, "estimator"_a = estimator, "slice_features"_a = slice_features,
                                        "task_type"_a = task_type, "threshold"_a = threshold,
                                        "min_samples"_a = min_samples, "metric"_a = metric);
}

// Bounds of a slice of the cut feature as the record keys want them.
struct SliceBounds {
    bool two;
    py::object lb1, ub1;  // the caller's first-feature bin in two-feature mode

    py::dict region(double lb, double ub) const {
        py::dict rec;
        if (two) {
            rec["lb1"] = lb1;
            rec["ub1"] = ub1;
            rec["lb2"] = lb;
            rec["ub2"] = ub;
        } else {
            rec["lb1"] = lb;
            rec["ub1"] = ub;
        }
        return rec;
    }
    py::dict rule(const tamrel::SliceRule& r) const {
        const py::float_ lb(r.lb), ub(r.ub);
        return two ? rule_record(lb1, ub1, lb, ub, true, r.value, r.count)
                   : rule_record(lb, ub, py::none(), py::none(), false, r.value, r.count);
    }
};

// Additive metrics: all bins scored from one pass of sums, then merged on the sums.
py::tuple fit1d_additive(const py::object& self, const ColumnRef& xc, const tamrel::ColumnSummary& summary,
                         std::int64_t max_bins, const py::object& scores, const py::object& sample_weight,
                         const SliceBounds& bounds) {
    const ColumnRef s = column_ref(scores, "scores");
    const ColumnRef w = weight_column(sample_weight);
    check_length(s, xc.col.size, "scores");
    check_length(w, xc.col.size, "sample_weight");
    const tamrel::WeakTest weak = weak_test(self);
    const double sample_floor = min_samples(self);
    const tamrel::HistogramSlices out = for_feature(self, bounds.two ? 1 : 0, [&] {
        py::gil_scoped_release nogil;
        return tamrel::slice_histogram(xc.col, tamrel::Rows::all(xc.col.size), summary, max_bins, s.col,
                                       w.col, weak, sample_floor);
    });
    py::list regions, rules;
    if (out.merged) {
        for (const auto& r : out.regions) regions.append(bounds.region(r.lb, r.ub));
        for (const auto& r : out.merged_rules) rules.append(bounds.rule(r));
        for (std::int64_t b : out.remaining) rules.append(bounds.rule(out.bin_rules[b]));
    } else {
        for (const auto& r : out.bin_rules) rules.append(bounds.rule(r));
    }
    return py::make_tuple(regions, rules, to_float_array(out.edges));
}

// Other metrics: scoring_func once per non-empty bin; weak bins reported as they are.
py::tuple fit1d_scored(const py::object& self, const ColumnRef& xc, const tamrel::ColumnSummary& summary,
                       std::int64_t max_bins, const py::object& y, const py::object& preds,
                       const py::object& sample_weight, const SliceBounds& bounds) {
    check_rows(y, xc.col.size, "y");
    check_rows(preds, xc.col.size, "preds");
    check_length(weight_column(sample_weight), xc.col.size, "sample_weight");
    const auto edges = for_feature(self, bounds.two ? 1 : 0, [&] { return tamrel::bin_edges(summary, max_bins); });
    const std::int64_t n_bins = static_cast<std::int64_t>(edges.size()) - 1;
    tamrel::BinGroups groups;
    {
        py::gil_scoped_release nogil;
        groups = tamrel::group_by_bin(xc.col, tamrel::Rows::all(xc.col.size), edges);
    }
    const Scoring scoring(self);
    const tamrel::WeakTest weak = weak_test(self);
    py::list regions, rules;
    for (std::int64_t b = 0; b < n_bins; ++b) {
        const std::vector<std::int64_t> idx(groups.order.begin() + groups.offsets[b],
                                            groups.order.begin() + groups.offsets[b + 1]);
        tamrel::SliceRule rule{edges[b], edges[b + 1], std::numeric_limits<double>::quiet_NaN(),
                               static_cast<std::int64_t>(idx.size())};
        if (!idx.empty())
            rule.value = as_number(score_rows(scoring, y, preds, to_index_array(idx), sample_weight),
                                   "the score of a slice");
        rules.append(bounds.rule(rule));
        if (!idx.empty() && weak(rule.value, rule.count))
            regions.append(bounds.region(rule.lb, rule.ub));
    }
    return py::make_tuple(regions, rules, to_float_array(edges));
}

py::object fit1d(py::object self, py::object x, py::object y, py::object preds, py::object scores,
                 py::object lb1, py::object ub1, py::object /*lb2*/, py::object /*ub2*/,
                 py::object sample_weight) {
    const bool two = py::len(self.attr("fidx")) != 1;
    const std::string feature = slicing_feature_name(self, two ? 1 : 0);
    const ColumnRef xc = column_ref(x, "x");
    if (xc.col.size == 0)
        throw py::value_error("No rows to slice: the values of feature '" + feature + "' are empty.");
    const std::int64_t max_bins = checked_bins(self);
    tamrel::ColumnSummary summary;
    {
        py::gil_scoped_release nogil;
        summary = tamrel::summarize(xc.col, tamrel::Rows::all(xc.col.size), max_bins);
    }
    if (!summary.finite) raise_not_finite(self, two ? 1 : 0);
    const SliceBounds bounds{two, lb1, ub1};
    if (py::bool_(self.attr("is_metric_additive")))
        return fit1d_additive(self, xc, summary, max_bins, scores, sample_weight, bounds);
    return fit1d_scored(self, xc, summary, max_bins, y, preds, sample_weight, bounds);
}

py::object fit(py::object self, py::object x, py::object y, py::object preds, py::object scores,
               py::object sample_weight) {
    self.attr("x") = x;
    self.attr("y") = y;
    self.attr("preds") = preds;
    self.attr("scores") = scores;
    self.attr("rule_list") = py::list();
    self.attr("weak_region") = py::list();
    py::list fidx = slicing_positions(self);
    if (fidx.empty()) throw py::value_error("slice_features is empty: give one or two feature names.");
    const bool additive = py::bool_(self.attr("is_metric_additive"));
    py::object average = additive ? py::object(py::float_(average_score(scores, sample_weight))) : scores;
    set_threshold_value(self, average, py::len(y));
    self.attr("fidx") = fidx;
    py::object xa = mod("np").attr("asarray")(x);
    const py::slice all{py::none(), py::none(), py::none()};
    py::tuple result;
    if (fidx.size() == 1) {
        result = self.attr("_fit1d")(xa[py::make_tuple(all, fidx[0])], y, preds, scores,
                                     "sample_weight"_a = sample_weight);
    } else {
        py::list pair;
        pair.append(fidx[0]);
        pair.append(fidx[1]);
        result = self.attr("_fit2d")(xa[py::make_tuple(all, pair)], y, preds, scores,
                                     "sample_weight"_a = sample_weight);
    }
    self.attr("weak_region") = result[0];
    self.attr("rule_list") = result[1];
    self.attr("bins1d") = result[2];
    return py::none();
}

const char* kInitDoc =
    "init(self, estimator=None, slice_features=None, task_type=None, threshold=1.2, min_samples=30, bins=10, metric=None)\n--\n\n"
    "Store the number of bins and the scoring settings.";
const char* kFit1dDoc =
    "_fit1d(self, x, y, preds, scores, lb1=None, ub1=None, lb2=None, ub2=None, sample_weight=None)\n--\n\n"
    "Slice one feature by equal-width bins; return (weak regions, rules, bin edges).\n\n"
    "With two slicing features x is the second feature over the rows of one first-feature\n"
    "bin [lb1, ub1), and the records carry that bin as their first-feature bounds.";
const char* kFitDoc =
    "_fit(self, x, y, preds, scores, sample_weight=None)\n--\n\n"
    "Score threshold, slicing-feature positions and the one- or two-feature slicing.";

}  // namespace histogram_impl

void define_histogram_slicing(py::module_& m) {
    using namespace histogram_impl;
    py::object cls = tamrel_py::make_class(
        m, "HistogramSlicing", py::make_tuple(m.attr("BaseSlicing")),
        "Histogram based slicing for analyzing 1D or 2D numerical features.");
    const py::object none = py::none();
    tamrel_py::add_method(cls, "__init__", "init", &init, kInitDoc, py::arg("estimator") = none,
                          py::arg("slice_features") = none, py::arg("task_type") = none,
                          py::arg("threshold") = 1.2, py::arg("min_samples") = 30, py::arg("bins") = 10,
                          py::arg("metric") = none);
    tamrel_py::add_method(cls, "_fit1d", "_fit1d", &fit1d, kFit1dDoc, py::arg("x"), py::arg("y"),
                          py::arg("preds"), py::arg("scores"), py::arg("lb1") = none, py::arg("ub1") = none,
                          py::arg("lb2") = none, py::arg("ub2") = none, py::arg("sample_weight") = none);
    define_fit2d(cls);
    tamrel_py::add_method(cls, "_fit", "_fit", &fit, kFitDoc, py::arg("x"), py::arg("y"), py::arg("preds"),
                          py::arg("scores"), py::arg("sample_weight") = none);
}

}  // namespace frailzone_py

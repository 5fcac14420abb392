// HistogramSlicing._fit2d: the first feature cut into equal-width bins, the second
// feature sliced inside each bin; per-bin summaries kept in bin_stats.
#include <limits>

#include "slice_scoring.hpp"
#include "tamrel/grouped_slices.hpp"

namespace frailzone_py {

using namespace pybind11::literals;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

py::dict bin_stat(double lb1, double ub1, double lb2, double ub2, std::int64_t support) {
    py::dict d;
    d["lb1"] = lb1;
    d["ub1"] = ub1;
    d["lb2"] = lb2;
    d["ub2"] = ub2;
    d["support"] = support;
    return d;
}

// Additive metrics: one grouped pass in the core, then the records.
py::tuple fit2d_additive(py::object& self, const ColumnRef& c1, const ColumnRef& c2,
                         const tamrel::ColumnSummary& summary1, std::int64_t max_bins,
                         const py::object& scores, const py::object& sample_weight) {
    const ColumnRef s = column_ref(scores, "scores");
    const ColumnRef w = weight_column(sample_weight);
    check_length(s, c1.col.size, "scores");
    check_length(w, c1.col.size, "sample_weight");
    const tamrel::WeakTest weak = weak_test(self);
    const double sample_floor = min_samples(self);
    // The first feature's edges were checked by fit2d; a refusal here is the second's.
    const tamrel::GroupedSlices g = for_feature(self, 1, [&] {
        py::gil_scoped_release nogil;
        return tamrel::slice_grouped(c1.col, c2.col, summary1, max_bins, s.col, w.col, weak, sample_floor);
    });
    py::list bin_stats = self.attr("bin_stats");
    py::list regions, rules;
    for (size_t b = 0; b < g.bins.size(); ++b) {
        const tamrel::FirstFeatureBin& bin = g.bins[b];
        if (bin.support == 0) {
            bin_stats.append(bin_stat(bin.lb1, bin.ub1, kNaN, kNaN, 0));
            continue;
        }
        bin_stats.append(bin_stat(bin.lb1, bin.ub1, bin.summary2.min, bin.summary2.max, bin.support));
        if (static_cast<std::int64_t>(b) == g.non_finite_bin) raise_not_finite(self, 1);
        const py::float_ lb1(bin.lb1), ub1(bin.ub1);
        const auto rule = [&](const tamrel::SliceRule& r) {
            rules.append(rule_record(lb1, ub1, py::float_(r.lb), py::float_(r.ub), true, r.value, r.count));
        };
        const tamrel::HistogramSlices& h = bin.slices;
        if (h.merged) {
            for (const auto& r : h.merged_rules) rule(r);
            for (std::int64_t k : h.remaining) rule(h.bin_rules[k]);
        } else {
            for (const auto& r : h.bin_rules) rule(r);
        }
        for (const tamrel::BinRegion& r : bin.regions)
            regions.append(py::dict("lb1"_a = lb1, "ub1"_a = ub1, "lb2"_a = r.lb2, "ub2"_a = r.ub2,
                                    "lb2q"_a = r.lb2q, "ub2q"_a = r.ub2q));
    }
    return py::make_tuple(regions, rules, to_float_array(g.edges));
}

// Other metrics: each non-empty bin goes through _fit1d, which calls scoring_func once
// per slice of the second feature.
py::tuple fit2d_scored(py::object& self, const ColumnRef& c1, const ColumnRef& c2,
                       const tamrel::ColumnSummary& summary1, std::int64_t max_bins, const py::object& y,
                       const py::object& preds, const py::object& sample_weight) {
    check_rows(y, c1.col.size, "y");
    check_rows(preds, c1.col.size, "preds");
    check_length(weight_column(sample_weight), c1.col.size, "sample_weight");
    const tamrel::FirstFeatureBins first = tamrel::first_feature_bins(summary1, max_bins);
    tamrel::BinGroups groups;
    {
        py::gil_scoped_release nogil;
        groups = tamrel::group_by_bin(c1.col, tamrel::Rows::all(c1.col.size), first.edges);
    }
    const Scoring scoring(self);
    const py::object fit1d = self.attr("_fit1d");
    py::list bin_stats = self.attr("bin_stats");
    py::list regions, rules;
    for (std::int64_t b = 0; b < first.n_bins(); ++b) {
        const double lb1 = first.lb1[static_cast<size_t>(b)], ub1 = first.ub1[static_cast<size_t>(b)];
        const auto at = static_cast<size_t>(b);
        const std::int64_t m = groups.offsets[at + 1] - groups.offsets[at];
        const tamrel::Rows rows = tamrel::Rows::subset(groups.order.data() + groups.offsets[at], m);
        if (m == 0) {
            bin_stats.append(bin_stat(lb1, ub1, kNaN, kNaN, 0));
            continue;
        }
        py::array_t<double> xb(static_cast<py::ssize_t>(m));
        tamrel::take(c2.col, rows, xb.mutable_data());
        const tamrel::Column values(xb.data(), m);
        const tamrel::ColumnSummary summary2 = tamrel::summarize(values, tamrel::Rows::all(m), 0);
        bin_stats.append(bin_stat(lb1, ub1, summary2.min, summary2.max, m));
        const auto idx = to_index_array(std::vector<std::int64_t>(rows.index, rows.index + m));
        const py::object yb = take_rows(y, idx, "y"), pb = take_rows(preds, idx, "preds");
        const py::object wb = sample_weight.is_none() ? py::none() : take_rows(sample_weight, idx, "sample_weight");
        const py::object bin_score = scoring.scoring_func(yb, pb, "sample_weight"_a = wb);
        const py::tuple res = fit1d(xb, yb, pb, bin_score, "lb1"_a = lb1, "ub1"_a = ub1, "sample_weight"_a = wb);
        for (const py::handle& r : py::list(res[1])) rules.append(r);
        tamrel::GroupPercentiles positions(values, tamrel::Rows::all(m));
        for (const py::handle& r : py::list(res[0])) {
            const tamrel::BinRegion at = positions.region(as_number(r["lb2"], "lb2"), as_number(r["ub2"], "ub2"), summary2.max);
            py::dict region = py::reinterpret_borrow<py::dict>(r);
            region["lb2q"] = at.lb2q;
            region["ub2q"] = at.ub2q;
            regions.append(region);
        }
    }
    return py::make_tuple(regions, rules, to_float_array(first.edges));
}

py::object fit2d(py::object self, py::object x, py::object y, py::object preds, py::object scores,
                 py::object sample_weight) {
    self.attr("bin_stats") = py::list();
    const auto n_features = py::len(self.attr("fidx"));
    if (n_features != 2)
        throw py::value_error("_fit2d slices two features, but fidx names " + std::to_string(n_features) + ".");
    const ColumnRef c1 = matrix_column(x, 0, "x");
    const ColumnRef c2 = matrix_column(x, 1, "x");
    if (c1.col.size == 0)
        throw py::value_error("No rows to slice: the values of feature '" + slicing_feature_name(self, 0) +
                              "' are empty.");
    const std::int64_t max_bins = checked_bins(self);
    tamrel::ColumnSummary summary1;
    {
        py::gil_scoped_release nogil;
        summary1 = tamrel::summarize(c1.col, tamrel::Rows::all(c1.col.size), max_bins);
    }
    if (!summary1.finite) raise_not_finite(self, 0);
    for_feature(self, 0, [&] { return tamrel::bin_edges(summary1, max_bins); });
    if (py::bool_(self.attr("is_metric_additive")))
        return fit2d_additive(self, c1, c2, summary1, max_bins, scores, sample_weight);
    return fit2d_scored(self, c1, c2, summary1, max_bins, y, preds, sample_weight);
}

const char* kFit2dDoc =
    "_fit2d(self, x, y, preds, scores, sample_weight=None)\n--\n\n"
    "Slice two features: equal-width bins of column 0, and inside each bin the slicing of\n"
    "column 1 over that bin's rows. Return (weak regions, rules, bin edges of column 0)\n"
    "and keep a summary of every column-0 bin in bin_stats.\n\n"
    "Each weak region carries lb2q and ub2q, the percentages of the bin's column-1 values\n"
    "below its lower bound and below its upper bound (at or below when the region is\n"
    "closed at the bin's largest value).";

}  // namespace

void define_fit2d(py::object& cls) {
    const py::object none = py::none();
    tamrel_py::add_method(cls, "_fit2d", "_fit2d", &fit2d, kFit2dDoc, py::arg("x"), py::arg("y"),
                          py::arg("preds"), py::arg("scores"), py::arg("sample_weight") = none);
}

}  // namespace frailzone_py

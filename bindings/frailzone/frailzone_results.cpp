// FrailZone results after fit: feature distances and distribution shift between the test
// rows inside the weak regions and the others, and the record behind the marginal plot.
#include <algorithm>
#include <cmath>
#include <numeric>

#include "frailzone_classes.hpp"

namespace frailzone_py {

using namespace pybind11::literals;

namespace {

constexpr std::int64_t kTopFeatures = 10;

// The comparison mode of get_distance / get_shift, checked before any work is done.
struct Comparison {
    bool full = false;
    const char* title = "";
    const char* area_name = "";
};

Comparison comparison_mode(const py::object& compare_to) {
    const std::string mode = py::isinstance<py::str>(compare_to) ? compare_to.cast<std::string>() : "";
    if (mode == "remaining")
        return {false, "Distribution Shift: Weak vs Remaining Regions", "Remaining Regions"};
    if (mode == "full") return {true, "Distribution Shift: Weak vs Full Regions", "Full Regions"};
    raise_tamrel("Unsupported value of compare_to.");
}

// The test rows X = x[test_idx] split into the weak sample (rows inside each weak region,
// regions in table order, concatenated) and the remaining rows (ascending). Membership
// follows the closed bounds decided on the sliced data, whichever subset was sliced.
struct TestSplit {
    py::object X;
    py::array_t<std::int64_t> weak, remaining;
};

TestSplit split_test_rows(const py::object& self) {
    const py::object diag = self.attr("diag");
    const py::list records = diag.attr("weak_region_stats");
    if (records.empty()) tamrel_py::raise_py(mod("TamrelInfo"), "No weak regions detected.");
    TestSplit split;
    split.X = take_rows(self.attr("x"), self.attr("test_idx"), "test_idx");
    const auto members = region_members(diag, split.X, region_boxes(diag, records));
    const auto n = static_cast<std::int64_t>(py::len(split.X));
    tamrel::RowSplit rows;
    {
        py::gil_scoped_release nogil;
        rows = tamrel::split_rows(members, n);
    }
    split.weak = to_index_array(rows.weak);
    split.remaining = to_index_array(rows.remaining);
    return split;
}

// The comparison rows: all of X, or the rows outside the weak regions.
py::object comparison_rows(const TestSplit& split, const Comparison& mode) {
    return mode.full ? split.X : take_rows(split.X, split.remaining, "X");
}

// Positions of the largest distances first: an ascending stable sort (NaN last, as NumPy
// sorts) reversed as a whole, so NaN comes first and later features win ties.
std::vector<size_t> top_positions(const std::vector<double>& d, std::int64_t top) {
    std::vector<size_t> order(d.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(), [&d](size_t a, size_t b) {
        if (std::isnan(d[a])) return false;
        return std::isnan(d[b]) || d[a] < d[b];
    });
    std::reverse(order.begin(), order.end());
    if (static_cast<std::int64_t>(order.size()) > top) order.resize(static_cast<size_t>(top));
    return order;
}

// numpy.round(v, 4): scale, round half to even, scale back.
double round4(double v) { return std::nearbyint(v * 10000.0) / 10000.0; }

py::object diagnoser_utils(const char* name) {
    return py::module_::import("tamrel.diagnoser.utils").attr(name);
}

bool is_categorical(const py::list& types, size_t i) {
    return i < types.size() && py::isinstance<py::str>(types[i]) && types[i].cast<std::string>() == "categorical";
}

py::object get_distance(py::object self, py::object psi_buckets, py::object distance_metric,
                        py::object compare_to) {
    const Comparison mode = comparison_mode(compare_to);
    check_fitted(self, "get_distance");
    const TestSplit split = split_test_rows(self);
    const py::object weak_x = take_rows(split.X, split.weak, "X");
    const py::object base_x = comparison_rows(split, mode);
    const py::list names = self.attr("feature_names");
    const py::list types = self.attr("feature_types");
    const py::object distance = mod("calculate_distance");
    const py::object category_distance = diagnoser_utils("category_distance");
    const py::slice all{py::none(), py::none(), py::none()};
    std::vector<double> d;
    std::vector<size_t> measured;  // feature position of each distance
    py::list skipped;              // categorical features the distance does not apply to
    for (size_t i = 0; i < names.size(); ++i) {
        const auto col = py::make_tuple(all, i);
        if (is_categorical(types, i)) {
            // by category shares: PSI over the categories, WD1 and KS give None
            const py::object v = category_distance(base_x[col], weak_x[col], "method"_a = distance_metric);
            if (v.is_none()) {
                skipped.append(names[i]);
                continue;
            }
            d.push_back(v.cast<double>());
        } else {
            d.push_back(distance(base_x[col], weak_x[col], "buckettype"_a = psi_buckets,
                                 "method"_a = distance_metric).cast<double>());
        }
        measured.push_back(i);
    }
    const auto top = top_positions(d, kTopFeatures);
    py::list features;
    py::array_t<double> rounded(static_cast<py::ssize_t>(top.size()));
    for (size_t k = 0; k < top.size(); ++k) {
        features.append(names[measured[top[k]]]);
        rounded.mutable_at(static_cast<py::ssize_t>(k)) = round4(d[top[k]]);
    }
    py::dict value;
    value["purpose"] = "diagnose";
    value["distance_metric"] = distance_metric;
    add_analysis_settings(self, value, true);
    value["title"] = mode.title;
    value["x"] = features;
    value["y"] = rounded;
    if (!skipped.empty())
        value["note"] = py::str("{} does not apply to categorical features; not measured: {}.")
                            .format(distance_metric, skipped);
    return mod("TestDataResult")("key"_a = "resilience_shift_histogram", "value"_a = value);
}

py::object labelled_frame(const py::object& rows, const py::list& names, const char* label) {
    py::object frame = mod("pd").attr("DataFrame")(rows, "columns"_a = names);
    frame.attr("__setitem__")("resi_type_", label);
    return frame;
}

py::object get_shift(py::object self, py::object show_feature, py::object compare_to) {
    const Comparison mode = comparison_mode(compare_to);
    check_fitted(self, "get_shift");
    const py::list names = self.attr("feature_names");
    if (show_feature.is_none()) show_feature = names[0];
    const py::object feature_type = self.attr("feature_types")[names.attr("index")(show_feature)];
    const TestSplit split = split_test_rows(self);
    py::list parts;
    parts.append(labelled_frame(comparison_rows(split, mode), names, mode.area_name));
    parts.append(labelled_frame(take_rows(split.X, split.weak, "X"), names, "Weak Regions"));
    // columns stored as category codes show their categories again
    const py::object draw_df = py::module_::import("tamrel.diagnoser.columns").attr("decode_categories")(
        mod("pd").attr("concat")(parts).attr("reset_index")("drop"_a = true),
        py::getattr(self, "categories", py::dict()));
    py::dict value;
    value["title"] = mode.title;
    value["show_feature"] = show_feature;
    add_analysis_settings(self, value, true);
    value["feature_type"] = feature_type;
    value["data"] = draw_df;
    return mod("TestDataResult")("key"_a = "frailzone_shift", "value"_a = value);
}

py::object get_marginal(py::object self) {
    check_fitted(self, "get_marginal");
    const py::object diag = self.attr("diag");
    py::object rule_list = py::none();
    try {
        rule_list = diag.attr("rule_list");
    } catch (py::error_already_set&) {
        // any failure to read it counts as absence
    }
    py::dict value = analysis_settings(self);
    value["weak_region_stats"] = diag.attr("weak_region_stats");
    value["fidx"] = diag.attr("fidx");
    value["rule_list"] = rule_list;
    value["x"] = diag.attr("x");
    value["y"] = diag.attr("y");
    value["threshold_value"] = diag.attr("threshold_value");
    value["score_name"] = diag.attr("score_name");
    value["_sign"] = diag.attr("score_sign");
    value["scores"] = diag.attr("scores");
    value["use_test"] = diag.attr("use_test");
    value["is_metric_additive"] = diag.attr("is_metric_additive");
    value["feature_names"] = self.attr("feature_names");
    return mod("TestDataResult")("key"_a = "frailzone_plot", "value"_a = value);
}

const char* kDistanceDoc =
    "get_distance(self, psi_buckets='uniform', distance_metric='PSI', compare_to='remaining')\n--\n\n"
    R"(Get distance result between samples in and out the weak region.

Both samples are test rows: those inside the weak regions, and the others
(or all test rows). Every feature is measured; the ten farthest are reported.

Parameters
----------
psi_buckets : {"uniform", "quantile"}, default="uniform"
    Buckets of the PSI of a numerical feature.
distance_metric : {"PSI", "WD1", "KS"}, default="PSI"
    A categorical feature is compared by its category shares (PSI over the
    categories); "WD1" and "KS" do not apply to it and skip it, which the
    record's "note" entry says.
compare_to : {"remaining", "full"}, default="remaining"
    Compare the weak rows with the other test rows, or with all test rows.
)";
const char* kShiftDoc =
    "get_shift(self, show_feature=None, compare_to='remaining')\n--\n\n"
    R"(Get distribution shift between samples in and out the weak region.

Parameters
----------
show_feature : str, default=None
    The feature to be drawn; None takes the first feature. The data frame holds
    every feature, categorical columns with their categories.
compare_to : {"remaining", "full"}, default="remaining"
    Label the other test rows, or all test rows, as the comparison sample.
)";
const char* kMarginalDoc = "get_marginal(self)\n--\n\nGet marginal frailzone result";

}  // namespace

void define_frailzone_results(py::object& cls) {
    const py::object none = py::none();
    tamrel_py::add_method(cls, "get_distance", "get_distance", &get_distance, kDistanceDoc,
                          py::arg("psi_buckets") = "uniform", py::arg("distance_metric") = "PSI",
                          py::arg("compare_to") = "remaining");
    tamrel_py::add_method(cls, "get_shift", "get_shift", &get_shift, kShiftDoc, py::arg("show_feature") = none,
                          py::arg("compare_to") = "remaining");
    tamrel_py::add_method(cls, "get_marginal", "get_marginal", &get_marginal, kMarginalDoc);
}

}  // namespace frailzone_py

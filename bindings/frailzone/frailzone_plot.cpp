// FrailZone.plot_marginal: the marginal figure of a weak-region analysis. The curve, the
// region map and the histograms are computed in the core; matplotlib only draws them.
#include <cmath>
#include <limits>

#include "frailzone_classes.hpp"
#include "tamrel/binning.hpp"
#include "tamrel/grids.hpp"

namespace frailzone_py {

using namespace pybind11::literals;

// Named rather than anonymous: the binding files compile together in unity groups.
namespace plot_impl {

constexpr const char* kFullColour = "#c0dbec";
constexpr const char* kWeakColour = "#69a5cf";
constexpr double kInf = std::numeric_limits<double>::infinity();
// The largest grid a figure computes: points of the one-feature curve, and points along
// each side of the two-feature map (grid x grid cells).
constexpr std::int64_t kMaxCurveGrid = 10'000'000;
constexpr std::int64_t kMaxMapGrid = 4'000;

std::int64_t positive_int(const py::object& v, const char* what) {
    if (py::isinstance<py::bool_>(v) || !py::hasattr(v, "__index__"))
        throw py::type_error(std::string(what) + " must be a positive integer.");
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(py::int_(v.attr("__index__")()).ptr(), &overflow);
    // Beyond int64: larger than any limit, or below 1.
    const std::int64_t n = overflow > 0 ? std::numeric_limits<std::int64_t>::max() : overflow < 0 ? 0 : value;
    if (n < 1) throw py::value_error(std::string(what) + " must be a positive integer, got " + std::to_string(n) + ".");
    return n;
}


// One sliced feature of the record: its values, name and range (finite and non-empty).
struct Feature {
    ColumnRef values;
    py::object name;
    double min = 0.0, max = 0.0;
};

Feature feature_of(const py::object& dr, py::ssize_t k) {
    const py::ssize_t j = dr["fidx"][py::int_(k)].cast<py::ssize_t>();
    Feature f{matrix_column(dr["x"], j, "x"), dr["feature_names"][py::int_(j)]};
    const std::string name = py::str(f.name);
    if (f.values.col.size == 0) throw py::value_error("No rows to plot: feature '" + name + "' is empty.");
    tamrel::ColumnSummary s;
    {
        py::gil_scoped_release nogil;
        s = tamrel::summarize(f.values.col, tamrel::Rows::all(f.values.col.size), 0);
    }
    if (!s.finite) throw py::value_error("Feature '" + name + "' holds NaN or infinite values.");
    f.min = s.min;
    f.max = s.max;
    return f;
}

// The settings every histogram shares: bin cap and, for an additive metric, the per-sample
// weak-side test.
struct HistogramSettings {
    std::int64_t max_bins = 10;
    bool overlay = false;
    ColumnRef scores;
    tamrel::WeakTest weak;
};

HistogramSettings histogram_settings(const py::object& dr, std::int64_t n_rows) {
    HistogramSettings hs;
    hs.max_bins = positive_int(dr["bins"], "bins");
    hs.overlay = py::bool_(dr["is_metric_additive"]);
    if (!hs.overlay) return hs;
    hs.scores = column_ref(dr["scores"], "scores");
    if (hs.scores.col.size != n_rows)
        throw py::value_error("scores has " + std::to_string(hs.scores.col.size) + " entries but x has " +
                              std::to_string(n_rows) + " rows.");
    hs.weak = tamrel::WeakTest{as_number(dr["_sign"], "_sign"), as_number(dr["threshold_value"], "threshold_value")};
    return hs;
}

struct Bars {
    py::object full, weak;  // weak is None without the overlay
};

// Full bars of the density and, over them, the weak-side share of every non-empty bin;
// `sideways` draws horizontal bars (positions on the vertical axis).
Bars draw_histogram(py::object ax, const Feature& f, const HistogramSettings& hs, bool sideways) {
    tamrel::MarginalHistogram h;
    {
        py::gil_scoped_release nogil;
        h = tamrel::marginal_histogram(f.values.col, hs.max_bins, hs.scores.col, hs.weak);
    }
    const char* draw = sideways ? "barh" : "bar";
    const char* size = sideways ? "height" : "width";
    Bars bars;
    bars.full = ax.attr(draw)(to_float_array(h.centres), to_float_array(h.density), py::arg(size) = h.width,
                              "color"_a = kFullColour, "edgecolor"_a = "black");
    if (!hs.overlay) return bars;
    std::vector<double> at, length;
    for (size_t b = 0; b < h.count.size(); ++b) {
        if (h.count[b] == 0) continue;  // an empty bin has no share to show
        at.push_back(h.centres[b]);
        length.push_back(h.density[b] * h.weak_share[b]);
    }
    bars.weak = ax.attr(draw)(to_float_array(at), to_float_array(length), py::arg(size) = h.width, "color"_a = kWeakColour,
                              "edgecolor"_a = "black");
    return bars;
}

// Limits over a feature's range; a constant feature keeps matplotlib's own view rather
// than a singular one.
void set_range(const py::object& ax, const char* setter, const Feature& f) {
    if (f.min < f.max) ax.attr(setter)(f.min, f.max);
}

void scale_ticks(const py::object& scaler, const py::object& ax, const py::object& name, int axis) {
    if (!scaler.is_none())
        mod("scale_plot_ticks")("ax"_a = ax, "feature"_a = name, "scaler"_a = scaler, "axis"_a = axis);
}

// The slice rules of the first feature; a rule without "f0" bounds spans the whole line.
std::vector<tamrel::CurveRule> curve_rules(const py::object& rule_list) {
    std::vector<tamrel::CurveRule> rules;
    for (const py::handle& rule : rule_list) {
        const py::object splits = rule["splits"];
        tamrel::CurveRule r{-kInf, kInf, rule["values"].cast<double>()};
        if (splits.contains("f0")) {
            r.lb = splits["f0"]["lb"].cast<double>();
            r.ub = splits["f0"]["ub"].cast<double>();
        }
        rules.push_back(r);
    }
    return rules;
}

// Vertical limits around the curve and the threshold: 15 % of the span, plus 0.001, or
// plus 10 % of the largest magnitude when everything lies within +-0.001.
void set_score_limits(py::object ax, double threshold, double ymin, double ymax) {
    const double lo = std::fmin(threshold, ymin), hi = std::fmax(threshold, ymax);
    if (!std::isfinite(lo) || !std::isfinite(hi)) return;
    const double a = std::fmax(std::fabs(lo), std::fabs(hi)), r = hi - lo;
    const double pad = a < 0.001 ? 0.15 * r + 0.1 * a : 0.15 * r + 0.001;
    ax.attr("set_ylim")(lo - pad, hi + pad);
}

// Region numbers in red, a little right of the middle of each region and above its score
// on the sliced subset.
void number_regions(py::object ax, const py::object& dr, double lift, double shift) {
    const std::string key = (py::bool_(dr["use_test"]) ? "test_" : "train_") + py::str(dr["score_name"]).cast<std::string>();
    py::ssize_t i = 0;
    for (const py::handle& rec : dr["weak_region_stats"]) {
        const double lb = rec["lb1"].cast<double>(), ub = rec["ub1"].cast<double>();
        const double s = rec[py::str(key)].cast<double>();
        ax.attr("annotate")(py::str(py::int_(i++)), "xy"_a = py::make_tuple(lb + 0.55 * (ub - lb) - shift, s + lift),
                            "color"_a = "red");
    }
}

void add_legend(py::object ax, const Bars& bars, double sign) {
    const py::tuple labels = sign == -1.0 ? py::make_tuple("Below threshold", "Above threshold")
                                          : py::make_tuple("Above threshold", "Below threshold");
    ax.attr("legend")("handles"_a = py::make_tuple(bars.full, bars.weak), "labels"_a = labels, "fontsize"_a = 8);
}

void plot_one(const py::object& fig, const py::object& dr, std::int64_t grid, const py::object& scaler,
              const py::object& rule_list) {
    const py::object gs = fig.attr("add_gridspec")(2, 1, "height_ratios"_a = py::make_tuple(2, 1),
                                                   "wspace"_a = 0.1, "hspace"_a = 0.1);
    const py::object ax_main = fig.attr("add_subplot")(gs[py::make_tuple(0, 0)]);
    const py::object ax_bottom = fig.attr("add_subplot")(gs[py::make_tuple(1, 0)]);
    const Feature f0 = feature_of(dr, 0);
    const HistogramSettings hs = histogram_settings(dr, f0.values.col.size);
    const double threshold = dr["threshold_value"].cast<double>();
    const auto rules = curve_rules(rule_list);
    tamrel::ScoreCurve curve;
    double ymin = std::nan(""), ymax = std::nan("");
    {
        py::gil_scoped_release nogil;
        curve = tamrel::score_curve(f0.min, f0.max, grid, rules);
        for (double v : curve.y) ymin = std::fmin(ymin, v), ymax = std::fmax(ymax, v);
    }
    ax_main.attr("plot")(to_float_array(curve.x), to_float_array(curve.y), "color"_a = "black", "linewidth"_a = 1);
    ax_main.attr("axhline")(threshold, "linestyle"_a = "--", "linewidth"_a = 0.5, "color"_a = "red");
    ax_main.attr("set_xticklabels")(py::list());
    ax_main.attr("set_ylabel")(dr["score_name"], "color"_a = "black");
    ax_main.attr("set_title")("Weak Regions", "fontsize"_a = 15);
    set_score_limits(ax_main, threshold, ymin, ymax);
    set_range(ax_main, "set_xlim", f0);

    number_regions(ax_main, dr, 0.02 * (ymax - ymin), 0.01 * (f0.max - f0.min));

    const Bars bars = draw_histogram(ax_bottom, f0, hs, false);
    if (hs.overlay) add_legend(ax_bottom, bars, dr["_sign"].cast<double>());
    ax_bottom.attr("set_xlabel")(f0.name);
    set_range(ax_bottom, "set_xlim", f0);
    ax_bottom.attr("set_ylabel")("Density");
    scale_ticks(scaler, ax_bottom, f0.name, 0);
    gs.attr("tight_layout")(fig);
}

// "Dark2withWhite": white for cells outside every region, then five Dark2 colours.
py::object region_colour_map() {
    py::list colours;
    colours.append(py::make_tuple(1, 1, 1));
    const py::object dark2 = mod("plt").attr("get_cmap")("Dark2").attr("colors");
    for (int k = 0; k < 5; ++k) colours.append(dark2[py::int_(k)]);
    return mod("LinearSegmentedColormap").attr("from_list")("Dark2withWhite", colours, "N"_a = 6, "gamma"_a = 1);
}

void draw_region_map(py::object ax, const py::object& dr, const Feature& f0, const Feature& f1, std::int64_t grid) {
    const py::object geometry = py::module_::import("types").attr("SimpleNamespace")("x"_a = dr["x"],
                                                                                      "fidx"_a = dr["fidx"]);
    const auto boxes = region_boxes(geometry, py::list(dr["weak_region_stats"]));
    py::array_t<double> image({grid, grid});
    std::vector<tamrel::RegionSpot> spots;
    {
        double* out = image.mutable_data();
        py::gil_scoped_release nogil;
        spots = tamrel::paint_regions(f0.min, f0.max, f1.min, f1.max, grid, boxes, out);
    }
    const double g = static_cast<double>(grid);
    for (size_t i = 0; i < spots.size(); ++i) {
        if (spots[i].n1 == 0 || spots[i].n2 == 0) continue;  // painted nothing
        ax.attr("annotate")(py::str(py::int_(i)),
                            "xy"_a = py::make_tuple((spots[i].mean1 - 0.01 * g) / g, (spots[i].mean2 - 0.015 * g) / g),
                            "xycoords"_a = "axes fraction", "color"_a = "black");
    }
    ax.attr("imshow")(image, "interpolation"_a = "nearest", "cmap"_a = region_colour_map(), "vmin"_a = -1,
                      "vmax"_a = 6, "aspect"_a = "auto",
                      "extent"_a = py::make_tuple(f0.min, f0.max, f1.min, f1.max));
    ax.attr("set_xticklabels")(py::list());
    ax.attr("set_yticklabels")(py::list());
    ax.attr("set_title")("Weak Regions", "fontsize"_a = 15);
}

// A key to the map: each region's colour with its score on the sliced subset (the map's
// colours repeat from the sixth region on, so the key names the numbers), the first
// kLegendRegions regions.
constexpr py::ssize_t kLegendRegions = 10;

void add_region_key(py::object ax, const py::object& dr) {
    const std::string subset = py::bool_(dr["use_test"]) ? "test" : "train";
    const std::string name = py::str(dr["score_name"]).cast<std::string>();
    const py::str key(subset + "_" + name);
    const py::object patch = py::module_::import("matplotlib.patches").attr("Patch");
    const py::object dark2 = mod("plt").attr("get_cmap")("Dark2").attr("colors");
    py::list handles, labels;
    py::ssize_t i = 0;
    for (const py::handle& rec : dr["weak_region_stats"]) {
        if (i == kLegendRegions) break;
        handles.append(patch("facecolor"_a = dark2[py::int_(i % 5)], "edgecolor"_a = "black"));
        labels.append(py::str("{}: {:.4g}").format(i, rec[key]));
        ++i;
    }
    ax.attr("legend")("handles"_a = handles, "labels"_a = labels, "title"_a = subset + " " + name, "fontsize"_a = 7,
                      "title_fontsize"_a = 7, "loc"_a = "upper right", "framealpha"_a = 0.85);
}

void plot_two(const py::object& fig, const py::object& dr, std::int64_t grid, const py::object& scaler) {
    const py::object gs = fig.attr("add_gridspec")(2, 2, "height_ratios"_a = py::make_tuple(6, 1),
                                                   "width_ratios"_a = py::make_tuple(1, 6), "wspace"_a = 0.1,
                                                   "hspace"_a = 0.1);
    const py::object ax_main = fig.attr("add_subplot")(gs[py::make_tuple(0, 1)]);
    const py::object ax_bottom = fig.attr("add_subplot")(gs[py::make_tuple(1, 1)]);
    const py::object ax_left = fig.attr("add_subplot")(gs[py::make_tuple(0, 0)]);
    const Feature f0 = feature_of(dr, 0), f1 = feature_of(dr, 1);
    const HistogramSettings hs = histogram_settings(dr, f0.values.col.size);
    draw_region_map(ax_main, dr, f0, f1, grid);
    add_region_key(ax_main, dr);

    draw_histogram(ax_bottom, f0, hs, false);
    set_range(ax_bottom, "set_xlim", f0);
    ax_bottom.attr("set_xlabel")(f0.name);
    ax_bottom.attr("set_ylabel")("Density");
    ax_bottom.attr("set_yticklabels")(py::list());
    scale_ticks(scaler, ax_bottom, f0.name, 0);
    ax_bottom.attr("autoscale")("tight"_a = true);

    draw_histogram(ax_left, f1, hs, true);
    ax_left.attr("set_xticklabels")(py::list());
    ax_left.attr("set_xlabel")("Density");
    set_range(ax_left, "set_ylim", f1);
    ax_left.attr("set_ylabel")(f1.name);
    scale_ticks(scaler, ax_left, f1.name, 1);
    ax_left.attr("autoscale")("tight"_a = true);
    gs.attr("tight_layout")(fig);
}

py::object plot_marginal(py::object diagnose_result, py::object grid, py::object scaler, py::object figsize) {
    const py::object dr = diagnose_result.attr("value");
    if (py::len(dr["weak_region_stats"]) == 0) tamrel_py::raise_py(mod("TamrelInfo"), "No weak regions detected.");
    const std::int64_t n_grid = positive_int(grid, "grid");
    const auto n_features = py::len(dr["fidx"]);
    if (n_features == 0) throw py::value_error("fidx is empty: the record names no sliced feature.");
    const std::int64_t limit = n_features == 1 ? kMaxCurveGrid : kMaxMapGrid;
    if (n_grid > limit)
        throw py::value_error("grid must be at most " + std::to_string(limit) + " with " +
                              std::to_string(n_features) + " sliced feature(s), got " + py::str(grid).cast<std::string>() +
                              ".");
    const py::object rule_list = dr["rule_list"];
    if (n_features == 1 && rule_list.is_none())
        throw py::value_error("The record holds no rule_list: the one-feature curve needs the slice rules.");
    const py::object fig = mod("plt").attr("figure")("figsize"_a = figsize);
    try {
        if (n_features == 1)
            plot_one(fig, dr, n_grid, scaler, rule_list);
        else
            plot_two(fig, dr, n_grid, scaler);
    } catch (...) {
        mod("plt").attr("close")(fig);  // no half-drawn figure left behind in pyplot
        throw;
    }
    mod("plt").attr("show")();
    return fig;
}

const char* kPlotDoc =
    "plot_marginal(diagnose_result, grid=1000, scaler=None, figsize=(6, 6))\n--\n\n"
    "Plot marginal frailzone.";

}  // namespace plot_impl

void define_frailzone_plot(py::object& cls) {
    using namespace plot_impl;
    tamrel_py::add_static_method(cls, "plot_marginal", &plot_marginal, kPlotDoc, py::arg("diagnose_result"),
                                 py::arg("grid") = 1000, py::arg("scaler") = py::none(),
                                 py::arg("figsize") = py::make_tuple(6, 6));
}

}  // namespace frailzone_py
